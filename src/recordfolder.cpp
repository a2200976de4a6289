#include "recordfolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace
{

// A folder as check_and_open() leaves it.
struct trusted_folder {
	int fd = -1;         // the folder, open for reading, when it passed the check
	std::string reason;  // fd < 0: why, naming the folder; "" when it is missing
};

constexpr int max_links = 40;  // as the kernel's own bound on links in one lookup

bool trusted_owner(uid_t uid)
{
	return uid == 0 || uid == geteuid();
}

std::string owned_by(const std::string &path, uid_t uid)
{
	return path + ": owned by user " + std::to_string(uid);
}

// The target of link `path`, whatever its length; false with errno set when it can't be read.
bool read_link(const std::string &path, std::string &target)
{
	target.resize(256);
	for (;;) {
		ssize_t n = readlink(path.c_str(), target.data(), target.size());
		if (n < 0)
			return false;
		if (static_cast<std::size_t>(n) < target.size()) {
			target.resize(static_cast<std::size_t>(n));
			return true;
		}
		target.resize(2 * target.size());
	}
}

// Appends the components of `path` to the front of `rest`, in order.
void push_front(std::deque<std::string> &rest, const std::string &path)
{
	std::deque<std::string> parts;
	for (std::size_t at = 0; at <= path.size();) {
		std::size_t slash = std::min(path.find('/', at), path.size());
		if (slash > at)
			parts.push_back(path.substr(at, slash - at));
		at = slash + 1;
	}
	rest.insert(rest.begin(), parts.begin(), parts.end());
}

// Why the folder `path`, with status `st`, can't be on the way; "" when it can.
std::string check_above(const std::string &path, const struct stat &st)
{
	if (!trusted_owner(st.st_uid))
		return owned_by(path, st.st_uid);
	if ((st.st_mode & S_ISVTX) != 0)
		return {};
	if ((st.st_mode & S_IWOTH) != 0)
		return path + ": writable by others and not sticky";
	if ((st.st_mode & S_IWGRP) != 0)
		return path + ": writable by group and not sticky";
	return {};
}

// Checked by path with lstat, a folder at a time from "/", then opened once: sound, because
// each folder on the way is one that only root or the user can change, so no one else can swap
// what the path leads to between the check and the open. It also needs no descriptor but the
// one it returns.
trusted_folder check_and_open(const std::string &path, bool make)
{
	trusted_folder result;
	std::deque<std::string> rest;
	if (!path.starts_with("/")) {
		char *cwd = getcwd(nullptr, 0);
		if (cwd == nullptr) {
			result.reason = path + ": " + std::strerror(errno);
			return result;
		}
		push_front(rest, cwd);
		std::free(cwd);
	}
	{
		std::deque<std::string> given;
		push_front(given, path);
		rest.insert(rest.end(), given.begin(), given.end());
	}

	std::string done = "/";  // the way checked so far, free of links
	struct stat st;
	if (lstat("/", &st) != 0) {
		result.reason = std::string("/: ") + std::strerror(errno);
		return result;
	}
	if (result.reason = check_above("/", st); !result.reason.empty())
		return result;
	int links = 0;
	std::string target;
	while (!rest.empty()) {
		std::string name = std::move(rest.front());
		rest.pop_front();
		if (name == ".")
			continue;
		if (name == "..") {
			// The folder above one checked was checked before it.
			done.resize(std::max<std::size_t>(done.rfind('/'), 1));
			continue;
		}
		std::string next = done;
		if (next.size() > 1)
			next += '/';
		next += name;
		int err = lstat(next.c_str(), &st) == 0 ? 0 : errno;
		if (err == ENOENT && make) {
			if (mkdir(next.c_str(), 0700) != 0 && errno != EEXIST) {
				result.reason = next + ": " + std::strerror(errno);
				return result;
			}
			err = lstat(next.c_str(), &st) == 0 ? 0 : errno;
		}
		// Missing: no reason, unless it should have been made.
		if (err == ENOENT && !make)
			return result;
		if (err != 0) {
			result.reason = next + ": " + std::strerror(err);
			return result;
		}
		if (S_ISLNK(st.st_mode)) {
			if (!trusted_owner(st.st_uid)) {
				result.reason =
				        next + ": link owned by user " + std::to_string(st.st_uid);
				return result;
			}
			if (++links > max_links || !read_link(next, target)) {
				result.reason = next + ": " +
				                std::strerror(links > max_links ? ELOOP : errno);
				return result;
			}
			if (target.starts_with("/"))
				done = "/";
			push_front(rest, target);
			continue;
		}
		if (!S_ISDIR(st.st_mode)) {
			result.reason = next + ": " + std::strerror(ENOTDIR);
			return result;
		}
		// The last folder gets the stricter check below.
		if (!rest.empty())
			result.reason = check_above(next, st);
		else if (!trusted_owner(st.st_uid))
			result.reason = owned_by(next, st.st_uid);
		if (!result.reason.empty())
			return result;
		done = std::move(next);
	}

	if (lstat(done.c_str(), &st) != 0) {
		result.reason = done + ": " + std::strerror(errno);
		return result;
	}
	if (!trusted_owner(st.st_uid)) {
		result.reason = owned_by(done, st.st_uid);
		return result;
	}
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
		result.reason = done + ": writable by group or others";
		return result;
	}
	int fd = open(done.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0) {
		result.reason = done + ": " + std::strerror(errno);
		return result;
	}
	struct stat opened;
	if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
		(void)close(fd);
		result.reason = done + ": changed while it was checked";
		return result;
	}
	result.fd = fd;
	return result;
}

}  // namespace

int open_trusted_folder(const std::string &path, bool make, fault &why)
{
	trusted_folder folder = check_and_open(path, make);
	why = {0, folder.reason};
	return folder.fd;
}
