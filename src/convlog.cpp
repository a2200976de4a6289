#include "convlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace
{

int dir_fd = -1;      // the record folder
std::string path;     // the log's path in it, for people
int log_fd = -1;      // the log, kept open in append mode for the rest of the run once opened
bool header_written;  // this run's section has its header in the log
bool torn;            // a text stayed in the log in part: no whole line can follow it

// The log kept open, or a descriptor for one text that the caller closes; -1 with `f` set.
// Only a regular file is kept open: a FIFO that nothing reads would fill up and stop the run, so
// it is opened for each text again, and closing it drops what it holds. Non-blocking, so that
// not even one text longer than a pipe holds can stop the run.
int open_log(fault &f)
{
	if (log_fd >= 0)
		return log_fd;
	struct stat st;
	int fd = open_file(dir_fd, file_name(path.c_str()),
	                   O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0644, st, f);
	if (fd >= 0 && S_ISREG(st.st_mode))
		log_fd = fd;
	return fd;
}

// Appends `text` to the log open as `fd`: whole or not at all to the file kept open.
fault put(int fd, std::string_view text)
{
	if (fd == log_fd)
		return append_whole(fd, text, torn);
	if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()))
		return {};
	return {errno, {}};
}

}  // namespace

void log_start(int dirfd, const std::string &log_file)
{
	dir_fd = dirfd;
	path = log_file;
}

const std::string &log_path()
{
	return path;
}

// Each text is one unbuffered write, so it is in the file when this returns.
void store_log(const std::string &text)
{
	if (torn)
		return;
	fault f;
	int fd = open_log(f);
	if (fd < 0)
		return;
	if (!header_written)
		header_written = !put(fd, log_header);
	if (header_written)
		(void)put(fd, text);
	if (fd != log_fd)
		(void)close(fd);
}

fault store_log_line(const std::string &line)
{
	fault f;
	int fd = open_log(f);
	if (fd < 0)
		return f;
	if (fd != log_fd) {
		(void)close(fd);
		return {0, "not a regular file"};
	}
	if (torn)
		return {EIO, {}};
	if (!header_written) {
		if (fault f = append_whole(fd, log_header, torn))
			return f;
		header_written = true;
	}
	return append_whole(fd, line, torn);
}

void unstore_log_line(const std::string &line)
{
	if (cut_last(log_fd, line.size()))
		torn = true;
}
