#include "convlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "mac2cp850.h"
#include "recordfolder.h"

namespace
{

int log_fd = -1;      // the log, kept open in append mode for the rest of the run once opened
bool header_written;  // this run's section has its header in the log
bool torn;            // a text stayed in the log in part: no whole line can follow it

// The log kept open, or a descriptor for one text that the caller closes; -1 with errno set.
// Only a regular file is kept open: a FIFO that nothing reads would fill up and stop the run, so
// it is opened for each text again, and closing it drops what it holds. Non-blocking, so that
// not even one text longer than a pipe holds can stop the run.
int open_log()
{
	if (log_fd >= 0)
		return log_fd;
	int fd = openat(g_record_fd, file_name(g_logfile),
	                O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
	if (fd < 0)
		return -1;
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
		log_fd = fd;
	return fd;
}

// Appends `text` to the log open as `fd`: whole or not at all to the file kept open.
int put(int fd, std::string_view text)
{
	if (fd == log_fd)
		return append_whole(fd, text, torn);
	if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()))
		return 0;
	return errno;
}

}  // namespace

// Each text is one unbuffered write, so it is in the file when this returns.
void store_log(const std::string &text)
{
	if (torn)
		return;
	int fd = open_log();
	if (fd < 0)
		return;
	if (!header_written)
		header_written = put(fd, log_header) == 0;
	if (header_written)
		(void)put(fd, text);
	if (fd != log_fd)
		(void)close(fd);
}

int store_log_line(const std::string &line)
{
	int fd = open_log();
	if (fd < 0)
		return errno;
	if (fd != log_fd) {
		(void)close(fd);
		return -1;
	}
	if (torn)
		return EIO;
	if (!header_written) {
		if (int err = append_whole(fd, log_header, torn); err != 0)
			return err;
		header_written = true;
	}
	return append_whole(fd, line, torn);
}

void unstore_log_line(const std::string &line)
{
	if (!cut_last(log_fd, line.size()))
		torn = true;
}
