#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recordfolder.h"

// The file is never removed: a removed lock file lets two runs lock two different files. The
// descriptor stays open on purpose, so that the lock lasts as long as the process and dies with
// it, however it ends.
std::string take_lock(int dirfd, const char *path, bool exclusive)
{
	int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	int fd = openat(dirfd, file_name(path), exclusive ? flags | O_CREAT : flags, 0600);
	if (fd < 0) {
		int err = errno;
		// A folder that can't take the file can't take the journal either: such a run
		// renames nothing. EMFILE: every descriptor of this process is taken by one that
		// stays open all run long, so neither log nor journal can ever be opened and
		// nothing is renamed. Not so ENFILE: other processes may free descriptors of the
		// system later.
		if (!exclusive || err == EROFS || err == ENOSPC || err == EDQUOT || err == EMFILE)
			return {};
		return std::string(path) + ": " + std::strerror(err);
	}
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		(void)close(fd);
		return exclusive ? std::string(path) + ": not a regular file" : std::string();
	}
	if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
		return {};
	int err = errno;
	(void)close(fd);
	if (err == EWOULDBLOCK)
		return lock_busy;
	return exclusive ? std::string(path) + ": " + std::strerror(err) : std::string();
}
