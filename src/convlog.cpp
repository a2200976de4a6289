#include "convlog.h"

#include <fcntl.h>
#include <unistd.h>

#include "mac2cp850.h"

namespace
{

bool header_written;  // this run's section has its header in the log

void put(int fd, const std::string &text)
{
	(void)write(fd, text.data(), text.size());
}

}  // namespace

// Reopened for every text, so each line is in the file when this returns.
void store_log(const std::string &text)
{
	int fd = open(g_logfile, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	if (!header_written) {
		put(fd, "Dravolin Update 1.8\r\n");
		put(fd, "The following filenames were converted:\r\n\r\n");
		header_written = true;
	}
	put(fd, text);
	(void)close(fd);
}
