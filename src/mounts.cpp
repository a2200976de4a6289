#include "mounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "fsutil.h"

namespace
{

template <typename T> bool number(std::string_view text, T &n)
{
	const char *end = text.data() + text.size();
	auto [at, err] = std::from_chars(text.data(), end, n);
	return err == std::errc() && at == end && !text.empty();
}

// The table writes a blank, a tab, a line feed and a backslash in a path as '\' and three
// octal digits.
std::string unescape(std::string_view field)
{
	std::string out;
	for (std::size_t i = 0; i < field.size(); i++) {
		if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
		    field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
		    field[i + 3] >= '0' && field[i + 3] <= '7') {
			out += static_cast<char>((field[i + 1] - '0') * 64 +
			                         (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
			i += 3;
			continue;
		}
		out += field[i];
	}
	return out;
}

// Whether folder `inner` is `outer` or lies below it, both free of links.
bool within(const std::string &inner, const std::string &outer)
{
	if (outer == "/")
		return inner.starts_with("/");
	return inner.starts_with(outer) &&
	       (inner.size() == outer.size() || inner[outer.size()] == '/');
}

}  // namespace

std::string read_mounts(std::vector<mount_entry> &mounts)
{
	const char *const table = "/proc/self/mountinfo";
	int fd = open(table, O_RDONLY | O_CLOEXEC);
	std::string text;
	fault f = fd < 0 ? fault{errno, {}} : read_whole(fd, text);
	if (fd >= 0)
		(void)close(fd);
	if (f)
		return std::string(table) + ": " + fault_text(f, false) +
		       ": no mount can be checked";
	// "36 35 98:0 /root /mnt rw,noatime master:1 - ext3 /dev/root rw,errors=continue"
	std::vector<std::string_view> fields;
	for (std::size_t at = 0; at < text.size();) {
		std::size_t end = std::min(text.find('\n', at), text.size());
		std::string_view line = std::string_view(text).substr(at, end - at);
		at = end + 1;
		fields.clear();
		for (std::size_t from = 0; from <= line.size();) {
			std::size_t blank = std::min(line.find(' ', from), line.size());
			fields.push_back(line.substr(from, blank - from));
			from = blank + 1;
		}
		std::size_t dash = 6;
		while (dash < fields.size() && fields[dash] != "-")
			dash++;
		if (dash + 3 >= fields.size())
			continue;
		std::uint64_t id = 0;
		unsigned major = 0, minor = 0;
		std::string_view dev = fields[2];
		std::size_t colon = dev.find(':');
		if (colon == std::string_view::npos || !number(fields[0], id) ||
		    !number(dev.substr(0, colon), major) || !number(dev.substr(colon + 1), minor))
			continue;
		mounts.push_back({id, makedev(major, minor), unescape(fields[4]),
		                  std::string(fields[dash + 1]), std::string(fields[dash + 2]),
		                  std::string(fields[dash + 3])});
	}
	return {};
}

volume volume_at(const char *path)
{
	volume found;
	struct stat st;
	if (stat(path, &st) != 0)
		return found;
	char *real = realpath(path, nullptr);
	const std::string where = real != nullptr ? real : path;
	std::free(real);
	std::vector<mount_entry> mounts;
	(void)read_mounts(mounts);
	std::size_t longest = 0;
	for (const mount_entry &m : mounts)
		if (m.dev == st.st_dev && within(where, m.point) && m.point.size() >= longest) {
			longest = m.point.size();
			found.source = m.source;
		}
	DIR *dir = opendir("/dev/disk/by-uuid");
	if (dir == nullptr)
		return found;
	while (dirent *e = readdir(dir)) {
		struct stat dev;
		if (e->d_name[0] != '.' && fstatat(dirfd(dir), e->d_name, &dev, 0) == 0 &&
		    S_ISBLK(dev.st_mode) && dev.st_rdev == st.st_dev) {
			found.uuid = e->d_name;
			break;
		}
	}
	(void)closedir(dir);
	return found;
}

bool same_volume(const volume &a, const volume &b)
{
	if (!a.uuid.empty() && !b.uuid.empty())
		return a.uuid == b.uuid;
	return a.source == b.source;
}
