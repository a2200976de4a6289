#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace
{

// Makes every missing folder on the way to the file `path`; failures show at its open.
void make_folders(const char *path)
{
	std::string dir = path;
	dir.resize(dir.rfind('/') + 1);
	for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
	     slash = dir.find('/', slash + 1)) {
		dir[slash] = '\0';
		(void)mkdir(dir.c_str(), 0700);
		dir[slash] = '/';
	}
}

}  // namespace

// The file is never removed: a removed lock file lets two runs lock two different files. The
// descriptor stays open on purpose, so that the lock lasts as long as the process and dies with
// it, however it ends.
bool take_lock(const char *path, bool exclusive)
{
	int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	int fd = open(path, exclusive ? flags | O_CREAT : flags, 0600);
	if (fd < 0 && errno == ENOENT && exclusive) {
		make_folders(path);
		fd = open(path, flags | O_CREAT, 0600);
	}
	if (fd < 0)
		return true;
	if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
		return true;
	int err = errno;
	(void)close(fd);
	return err != EWOULDBLOCK;
}
