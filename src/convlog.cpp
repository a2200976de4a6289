#include "convlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "recordfile.h"

namespace
{

record_file logfile;  // kept open in append mode for the rest of the run once opened
bool header_written;  // this run's section has its header in the log

// The log kept open, or a descriptor for one text that the caller closes; -1 with `f` set.
// Only a regular file is kept open: a FIFO that nothing reads would fill up and stop the run, so
// it is opened for each text again, and closing it drops what it holds. Non-blocking, so that
// not even one text longer than a pipe holds can stop the run.
int open_log(fault &f)
{
	if (logfile.fd >= 0)
		return logfile.fd;
	struct stat st;
	int fd = record_open(logfile, O_RDWR | O_APPEND | O_CREAT, 0644, false, st, f);
	if (fd >= 0 && S_ISREG(st.st_mode))
		logfile.fd = fd;
	return fd;
}

// Appends `text` to the log open as `fd`: whole or not at all to the file kept open.
fault put(int fd, std::string_view text)
{
	if (fd == logfile.fd)
		return record_append(logfile, text);
	if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()))
		return {};
	return {errno, {}};
}

}  // namespace

void log_start(int dirfd, const std::string &log_file)
{
	record_start(logfile, dirfd, log_file);
}

const std::string &log_path()
{
	return logfile.path;
}

// Each text is one unbuffered write, so it is in the file when this returns.
void store_log(const std::string &text)
{
	if (logfile.torn)
		return;
	fault f;
	int fd = open_log(f);
	if (fd < 0)
		return;
	if (!header_written)
		header_written = !put(fd, log_header);
	if (header_written)
		(void)put(fd, text);
	if (fd != logfile.fd)
		(void)close(fd);
}

fault store_log_line(const std::string &line)
{
	fault f;
	int fd = open_log(f);
	if (fd < 0)
		return f;
	if (fd != logfile.fd) {
		(void)close(fd);
		return {0, "not a regular file"};
	}
	if (!header_written) {
		if (fault f = record_append(logfile, log_header))
			return f;
		header_written = true;
	}
	return record_append(logfile, line);
}

void unstore_log_line(const std::string &line)
{
	record_cut(logfile, line.size());
}
