#include "mark.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace
{

// The generation of the file open as `fd`; false when the file system keeps none.
bool generation(int fd, std::int64_t &value)
{
	// A long, though the file systems that keep one write an int: it can't write past it.
	long gen = 0;
	if (ioctl(fd, FS_IOC_GETVERSION, &gen) != 0)
		return false;
	value = gen;
	return true;
}

}  // namespace

int stat_entry(int dirfd, const char *name, struct statx &sx)
{
	int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
	return statx(dirfd, name, flags, STATX_TYPE | STATX_INO | mark_mask, &sx);
}

file_mark mark_of(int dirfd, const char *name, const struct statx &sx, char kind)
{
	file_mark mark;
	bool born = (sx.stx_mask & STATX_BTIME) != 0;
	if (kind == 0)
		kind = born ? 'b' : 'g';
	if (kind == 'b') {
		if (born)
			mark = {'b', sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
		return mark;
	}
	if (kind != 'g' || (sx.stx_mask & STATX_TYPE) == 0 ||
	    !(S_ISDIR(sx.stx_mode) || S_ISREG(sx.stx_mode)))
		return mark;
	// The folder itself may be open as its descriptor already, or only for its path.
	if (*name == '\0') {
		if (generation(dirfd, mark.value)) {
			mark.kind = 'g';
			return mark;
		}
		if (errno != EBADF)
			return mark;
	}
	int fd = openat(dirfd, *name == '\0' ? "." : name,
	                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return mark;
	// What was opened must be what `sx` describes, not an entry put in its place since.
	struct stat st;
	if (fstat(fd, &st) == 0 && st.st_ino == sx.stx_ino &&
	    st.st_dev == makedev(sx.stx_dev_major, sx.stx_dev_minor) &&
	    (st.st_mode & S_IFMT) == (sx.stx_mode & S_IFMT) && generation(fd, mark.value))
		mark.kind = 'g';
	(void)close(fd);
	return mark;
}
