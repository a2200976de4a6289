#include "convlog.h"

#include <fcntl.h>
#include <unistd.h>

#include "mac2cp850.h"

namespace
{

int log_fd = -1;      // the log, kept open in append mode for the rest of the run once opened
bool header_written;  // this run's section has its header in the log

void put(int fd, const std::string &text)
{
	(void)write(fd, text.data(), text.size());
}

}  // namespace

// Each text is one unbuffered write, so it is in the file when this returns.
void store_log(const std::string &text)
{
	if (log_fd < 0) {
		log_fd = open(g_logfile, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
		if (log_fd < 0)
			return;
	}
	if (!header_written) {
		put(log_fd,
		    "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n");
		header_written = true;
	}
	put(log_fd, text);
}
