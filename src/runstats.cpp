#include "runstats.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "mac2cp850.h"
#include "walk.h"

void store_stats()
{
	int fd = open(g_statfile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	std::string text = "Dravolin Update 1.8\r\nFilename conversion stats:\r\nFiles checked: ";
	text += std::to_string(g_file_counter);
	text += "\r\nFolders checked: ";
	text += std::to_string(g_folder_counter);
	text += "\r\n";
	(void)write(fd, text.data(), text.size());
	(void)close(fd);
}
