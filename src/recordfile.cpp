#include "recordfile.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

void record_start(record_file &r, int dirfd, const std::string &path)
{
	r.dir_fd = dirfd;
	r.path = path;
}

int record_open(const record_file &r, int flags, mode_t mode, bool trusted, struct stat &st,
                fault &f)
{
	const char *name = file_name(r.path.c_str());
	if (trusted)
		return open_trusted(r.dir_fd, name, flags, mode, st, f);
	return open_file(r.dir_fd, name, flags | O_NOFOLLOW, mode, st, f);
}

void record_cut(record_file &r, std::size_t length)
{
	if (cut_last(r.fd, length))
		r.torn = true;
}

namespace
{

// What the records may still append before the free space of their file system is read again.
std::uint64_t granted;

// Blocks kept aside for what the file system adds to the records besides their bytes: the last
// block of each record file filled only in part, and the first blocks of their metadata.
constexpr std::uint64_t slack_blocks = 16;

}  // namespace

// One statvfs grants half of what lies above the 1% and the slack, the other half being left for
// the blocks the file system adds around the bytes (indirect and extent blocks, rounding), so
// that statvfs is read again only as often as that half is spent: once for the whole run on a
// roomy disk, more often as the records near the 1%.
fault keep_reserve(int fd, std::size_t bytes)
{
	if (bytes <= granted) {
		granted -= bytes;
		return {};
	}
	struct statvfs fs;
	if (fstatvfs(fd, &fs) != 0)
		return {errno, {}};
	std::uint64_t unit =
	        std::max<std::uint64_t>(fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize, 1);
	std::uint64_t kept = (fs.f_blocks + 99) / 100 + slack_blocks;
	std::uint64_t half = fs.f_bavail > kept ? (fs.f_bavail - kept) / 2 : 0;
	// A file system that tells no size has no reserve to keep.
	granted = fs.f_blocks == 0 || half > UINT64_MAX / unit ? UINT64_MAX : half * unit;
	// Where users have no room left for it at all, the disk is full as far as they can tell.
	if (bytes > granted && fs.f_bavail < (bytes + unit - 1) / unit)
		return {ENOSPC, {}};
	if (bytes > granted)
		return {0, "would leave less than 1% of its file system free"};
	granted -= bytes;
	return {};
}

fault append_whole(int fd, std::string_view text, bool &torn)
{
	if (fault f = keep_reserve(fd, text.size()))
		return f;
	std::size_t done = 0;
	while (done < text.size()) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n > 0) {
			done += static_cast<std::size_t>(n);
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		fault f{n < 0 ? errno : EIO, {}};
		if (done > 0 && cut_last(fd, done))
			torn = true;
		return f;
	}
	return {};
}

fault cut_last(int fd, std::size_t length)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return {errno, {}};
	if (static_cast<std::size_t>(st.st_size) < length)
		return {0, "shorter than what is to be cut"};
	if (ftruncate(fd, st.st_size - static_cast<off_t>(length)) != 0)
		return {errno, {}};
	return {};
}
