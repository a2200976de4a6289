#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// The file is never removed: a removed lock file lets two runs lock two different files. The
// descriptor stays open on purpose, so that the lock lasts as long as the process and dies with
// it, however it ends.
fault take_lock(int dirfd, const char *name, bool exclusive)
{
	struct stat st;
	fault f;
	int fd = open_trusted(dirfd, name, exclusive ? O_RDONLY | O_CREAT : O_RDONLY, 0600, st, f);
	if (fd < 0)
		return exclusive ? f : fault{};
	if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
		return {};
	f = {errno, {}};
	(void)close(fd);
	if (f.err == EWOULDBLOCK || exclusive)
		return f;
	return {};
}

// EMFILE: every descriptor of this process is taken by one that stays open all run long. Not so
// ENFILE: other processes may free descriptors of the system later.
bool no_room_for_lock(const fault &f)
{
	return f.err == EROFS || f.err == ENOSPC || f.err == EDQUOT || f.err == EMFILE;
}
