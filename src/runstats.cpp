#include "runstats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fsutil.h"
#include "recordfile.h"

namespace
{

record_file stats;  // kept open for the rest of the run once opened
off_t stale_size;   // the file's size at the open, until a whole text has been written over it
std::string text;   // the latest text; its capacity is kept from one rewrite to the next

}  // namespace

void stats_start(int dirfd, const std::string &path)
{
	record_start(stats, dirfd, path);
}

// Rewritten in place rather than truncated and written again, so that readers never find it
// empty and the file system does not push it to disk at every rewrite. The text never gets
// shorter during a run, so only the first rewrite after the open can leave a longer tail. Only
// a regular file is kept open: anything else is opened, written and closed each time.
void store_stats(std::uint64_t files, std::uint64_t folders)
{
	text.assign("Dravolin Update 1.8\r\nFilename conversion stats:\r\nFiles checked: ");
	text += std::to_string(files);
	text += "\r\nFolders checked: ";
	text += std::to_string(folders);
	text += "\r\n";
	if (stats.fd < 0) {
		// A FIFO in the file's place must block neither the open (O_RDWR) nor a write.
		struct stat st;
		fault f;
		int fd = record_open(stats, O_RDWR | O_CREAT, 0644, false, st, f);
		if (fd < 0)
			return;
		if (!S_ISREG(st.st_mode)) {
			(void)write(fd, text.data(), text.size());
			(void)close(fd);
			return;
		}
		// Only a file shorter than the text grows; later texts add a digit now and then.
		if (st.st_size < static_cast<off_t>(text.size()) &&
		    keep_reserve(fd, text.size() - static_cast<std::size_t>(st.st_size))) {
			(void)close(fd);
			return;
		}
		stale_size = st.st_size;
		stats.fd = fd;
	}
	auto length = static_cast<off_t>(text.size());
	if (pwrite(stats.fd, text.data(), text.size(), 0) != length)
		return;
	if (stale_size > length)
		(void)ftruncate(stats.fd, length);
	stale_size = 0;
}
