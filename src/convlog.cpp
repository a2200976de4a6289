#include "convlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mac2cp850.h"

namespace
{

int log_fd = -1;      // the log, kept open in append mode for the rest of the run once opened
bool header_written;  // this run's section has its header in the log

void put(int fd, std::string_view text)
{
	(void)write(fd, text.data(), text.size());
}

}  // namespace

// Each text is one unbuffered write, so it is in the file when this returns. Only a regular
// file is kept open: a FIFO that nothing reads would fill up and stop the run, so it is opened
// for each text again, and closing it drops what it holds. Non-blocking, so that not even one
// text longer than a pipe holds can stop the run.
void store_log(const std::string &text)
{
	int fd = log_fd;
	if (fd < 0) {
		fd = open(g_logfile, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
		if (fd < 0)
			return;
	}
	if (!header_written) {
		put(fd, log_header);
		header_written = true;
	}
	put(fd, text);
	if (fd == log_fd)
		return;
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
		log_fd = fd;
	else
		(void)close(fd);
}
