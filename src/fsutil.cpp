#include "fsutil.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::string fault_text(const fault &f, bool with_number)
{
	if (f.err == 0)
		return f.why;
	std::string text = std::strerror(f.err);
	return with_number ? std::to_string(f.err) + " " + text : text;
}

int open_file(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f)
{
	int fd;
	do
		fd = openat(dirfd, name, flags | O_CLOEXEC | O_NONBLOCK, mode);
	while (fd < 0 && errno == EINTR);
	if (fd < 0) {
		f = {errno, {}};
		return -1;
	}
	if (fstat(fd, &st) != 0) {
		f = {errno, {}};
		(void)close(fd);
		return -1;
	}
	return fd;
}

int open_regular(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f)
{
	int fd = open_file(dirfd, name, flags, mode, st, f);
	if (fd >= 0 && !S_ISREG(st.st_mode)) {
		f = {0, "not a regular file"};
		(void)close(fd);
		return -1;
	}
	return fd;
}

std::string foreign(const struct stat &st)
{
	if (st.st_uid != 0 && st.st_uid != geteuid())
		return "owned by user " + std::to_string(st.st_uid);
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
		return "writable by group or others";
	return {};
}

int open_trusted(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f)
{
	int fd = open_regular(dirfd, name, flags | O_NOFOLLOW | O_NOCTTY, mode, st, f);
	if (fd < 0)
		return -1;
	if (std::string why = foreign(st); !why.empty()) {
		f = {0, why};
		(void)close(fd);
		return -1;
	}
	return fd;
}

fault read_whole(int fd, std::string &out, std::size_t limit)
{
	out.clear();
	std::size_t filled = 0;
	while (filled < limit) {
		if (filled == out.size())
			out.resize(std::min(limit, std::max<std::size_t>(4096, 2 * out.size())));
		ssize_t n = read(fd, out.data() + filled, out.size() - filled);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			out.resize(filled);
			return n < 0 ? fault{errno, {}} : fault{};
		}
		filled += static_cast<std::size_t>(n);
	}
	out.resize(filled);
	return {};
}

const char *file_name(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	return slash == nullptr ? path : slash + 1;
}

// Where the file system lacks RENAME_NOREPLACE, looks for `to` right before a plain rename.
fault rename_noreplace(int dirfd, const char *from, const char *to)
{
	if (renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0)
		return {};
	if (errno != EINVAL && errno != ENOSYS)
		return {errno, {}};
	struct stat st;
	if (fstatat(dirfd, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
		return {EEXIST, {}};
	if (errno != ENOENT)
		return {errno, {}};
	if (renameat(dirfd, from, dirfd, to) != 0)
		return {errno, {}};
	return {};
}

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

// Descriptors a walk leaves free beyond its folders: the log and the statistics file, which
// open late, a folder being opened, and two for climbing from a link's target.
constexpr std::size_t fd_reserve = 5;

}  // namespace

const struct dirent64 *next_entry(listing_reader &reader)
{
	for (;;) {
		if (reader.at == reader.filled) {
			reader.filled =
			        getdents64(reader.fd, reader.records.data(), reader.records.size());
			reader.at = 0;
			if (reader.filled <= 0)
				return nullptr;
		}
		const auto *entry = reinterpret_cast<const struct dirent64 *>(
		        reader.records.data() + reader.at);
		reader.at += entry->d_reclen;
		const char *name = entry->d_name;
		if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
			return entry;
	}
}

// Where the open descriptors can't be listed, half the limit is taken for free, and the walk
// gives descriptors back when it meets the limit all the same.
std::size_t descriptor_budget()
{
	struct rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
		return 512;
	std::size_t open_now = limit.rlim_cur / 2;
	if (int fd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
		std::vector<char> records(std::size_t{1} << 14);
		listing_reader reader{fd, records};
		open_now = 0;
		while (next_entry(reader) != nullptr)
			open_now++;
		open_now--;  // its own descriptor is closed again
		(void)close(fd);
	}
	std::size_t taken = open_now + fd_reserve;
	return limit.rlim_cur > taken ? limit.rlim_cur - taken : 1;
}

folder_id identity(int fd)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return {0, 0};
	return {st.st_dev, st.st_ino};
}

bool below(int fd, folder_id root)
{
	folder_id id = identity(fd);
	int cur = fd;
	bool inside = false;
	while (!(id == folder_id{0, 0})) {
		if (id == root) {
			inside = true;
			break;
		}
		int up = openat(cur, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (cur != fd)
			(void)close(cur);
		cur = up;
		if (cur < 0)
			break;
		folder_id up_id = identity(cur);
		if (up_id == id)
			break;
		id = up_id;
	}
	if (cur >= 0 && cur != fd)
		(void)close(cur);
	return inside;
}

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
