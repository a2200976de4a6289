#include "recordfolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string_view>
#include <vector>

#include "mounts.h"

namespace
{

// A folder as check_and_open() leaves it.
struct trusted_folder {
	int fd = -1;       // the folder, open for reading, when it passed the check and was opened
	std::string path;  // the folder's path free of links, when it passed the check
	std::string reason;  // fd < 0: why, naming the folder; "" when it is missing
	int err = 0;         // the errno of the call that failed on the way, if one did
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

// Why what lies on mount `m` may be what a user other than root made it: a FUSE file system
// reports whatever owners and modes its user likes. "" when nothing tells so.
std::string user_mount(const mount_entry &m)
{
	if (m.type == "fuse" || m.type == "fuseblk" || m.type.starts_with("fuse."))
		return "on a FUSE mount (" + m.type + ")";
	std::string_view options = m.options;
	for (std::size_t at = 0; at <= options.size();) {
		std::size_t comma = std::min(options.find(',', at), options.size());
		std::string_view option = options.substr(at, comma - at);
		at = comma + 1;
		if (option.starts_with("user_id=") && option != "user_id=0")
			return "on a file system mounted by user " + std::string(option.substr(8));
	}
	return {};
}

// Why entry `name` of `dirfd` (`dirfd` itself for "", a link not followed), named `path` for
// people, lies on a mount that a user made, or on one that this process's mount table does not
// list (another namespace's); "" when it does not. The mount is found by its id, or by the
// device where the system gives no mount id.
std::string check_mount(int dirfd, const char *name, const std::string &path,
                        const std::vector<mount_entry> &mounts)
{
	int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
	struct statx sx;
	if (statx(dirfd, name, flags, STATX_MNT_ID, &sx) != 0)
		return path + ": " + std::strerror(errno);
	const bool by_id = (sx.stx_mask & STATX_MNT_ID) != 0;
	const dev_t dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
	bool listed = false;
	for (const mount_entry &m : mounts) {
		if (by_id ? m.id != sx.stx_mnt_id : m.dev != dev)
			continue;
		listed = true;
		if (std::string why = user_mount(m); !why.empty())
			return why.insert(0, path + ": ");
	}
	return listed ? "" : path + ": on a mount that this process's mount table does not list";
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

// A folder refused because a call on `path` failed with `err`.
trusted_folder failed(const std::string &path, int err)
{
	return {-1, {}, path + ": " + std::strerror(err), err};
}

// Checked by path with lstat, a folder at a time from "/", then opened once: sound, because
// each folder on the way is one that only root or the user can change, so no one else can swap
// what the path leads to between the check and the open. It also needs no descriptor but the
// one it returns. With `loose_last` the folder itself gets the rule of the folders above it and
// is not opened: a file in it is opened by its path, so that it takes no second descriptor.
trusted_folder check_and_open(const std::string &path, bool make, bool loose_last,
                              std::vector<mount_entry> &mounts)
{
	trusted_folder result;
	if (result.reason = read_mounts(mounts); !result.reason.empty())
		return result;
	std::deque<std::string> rest;
	if (!path.starts_with("/")) {
		char *cwd = getcwd(nullptr, 0);
		if (cwd == nullptr)
			return failed(path, errno);
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
	if (lstat("/", &st) != 0)
		return failed("/", errno);
	if (result.reason = check_above("/", st); !result.reason.empty())
		return result;
	if (result.reason = check_mount(AT_FDCWD, "/", "/", mounts); !result.reason.empty())
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
			if (mkdir(next.c_str(), 0700) != 0 && errno != EEXIST)
				return failed(next, errno);
			err = lstat(next.c_str(), &st) == 0 ? 0 : errno;
		}
		// Missing: no reason, unless it should have been made.
		if (err == ENOENT && !make)
			return result;
		if (err != 0)
			return failed(next, err);
		// A link's target, too, is what its file system says.
		if (result.reason = check_mount(AT_FDCWD, next.c_str(), next, mounts);
		    !result.reason.empty())
			return result;
		if (S_ISLNK(st.st_mode)) {
			if (!trusted_owner(st.st_uid)) {
				result.reason =
				        next + ": link owned by user " + std::to_string(st.st_uid);
				return result;
			}
			if (++links > max_links || !read_link(next, target))
				return failed(next, links > max_links ? ELOOP : errno);
			if (target.starts_with("/"))
				done = "/";
			push_front(rest, target);
			continue;
		}
		if (!S_ISDIR(st.st_mode))
			return failed(next, ENOTDIR);
		// The last folder gets the stricter check below.
		if (!rest.empty() || loose_last)
			result.reason = check_above(next, st);
		else if (!trusted_owner(st.st_uid))
			result.reason = owned_by(next, st.st_uid);
		if (!result.reason.empty())
			return result;
		done = std::move(next);
	}

	if (lstat(done.c_str(), &st) != 0)
		return failed(done, errno);
	if (loose_last) {
		if (result.reason = check_above(done, st); result.reason.empty())
			result.path = done;
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
	if (fd < 0)
		return failed(done, errno);
	struct stat opened;
	if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
		(void)close(fd);
		result.reason = done + ": changed while it was checked";
		return result;
	}
	result.fd = fd;
	result.path = done;
	return result;
}

// Whether entry `name` of `dirfd` lies on the mount of `dirfd` itself rather than on one made on
// it; told by the device where the system gives no mount id.
bool on_its_folders_mount(int dirfd, const char *name)
{
	struct statx folder, entry;
	if (statx(dirfd, "", AT_EMPTY_PATH, STATX_MNT_ID, &folder) != 0 ||
	    statx(dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &entry) != 0)
		return false;
	if ((folder.stx_mask & entry.stx_mask & STATX_MNT_ID) != 0)
		return folder.stx_mnt_id == entry.stx_mnt_id;
	return folder.stx_dev_major == entry.stx_dev_major &&
	       folder.stx_dev_minor == entry.stx_dev_minor;
}

}  // namespace

int open_trusted_folder(const std::string &path, bool make, fault &why)
{
	std::vector<mount_entry> mounts;
	trusted_folder folder = check_and_open(path, make, false, mounts);
	why = {folder.err, folder.reason};
	return folder.fd;
}

// The folder passes with the rule of the folders above it, so that a sticky one such as /tmp
// serves, where no one else can rename or remove the file.
int open_trusted_file(const std::string &path, fault &why)
{
	std::size_t slash = path.rfind('/');
	std::string dir =
	        slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
	std::vector<mount_entry> mounts;
	trusted_folder folder = check_and_open(dir, false, true, mounts);
	if (folder.path.empty()) {
		why = folder.reason.empty() ? fault{ENOENT, {}} : fault{folder.err, folder.reason};
		return -1;
	}
	std::string file = (folder.path == "/" ? "" : folder.path) + "/" + path.substr(slash + 1);
	struct stat st;
	int fd = open_trusted(AT_FDCWD, file.c_str(), O_RDONLY, 0, st, why);
	if (fd < 0)
		return -1;
	if (std::string on_mount = check_mount(fd, "", file, mounts); !on_mount.empty()) {
		(void)close(fd);
		why = {0, on_mount};
		return -1;
	}
	return fd;
}

// The folder passed the mount check, so a record file is on no user's mount unless one is made
// on it; told apart without the mount table, which would take a second descriptor. A link has no
// mode of its own; a folder's link count counts its subfolders.
fault check_record_files(int dirfd, std::initializer_list<const char *> paths)
{
	for (const char *path : paths) {
		const char *name = file_name(path);
		struct stat st;
		if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
			if (errno == ENOENT)
				continue;
			return {errno, std::string(path) + ": " + std::strerror(errno)};
		}
		if (!on_its_folders_mount(dirfd, name))
			return {0, std::string(path) + ": something is mounted on it"};
		std::string why;
		if (S_ISLNK(st.st_mode))
			why = trusted_owner(st.st_uid)
			              ? ""
			              : "link owned by user " + std::to_string(st.st_uid);
		else if (why = foreign(st); why.empty() && !S_ISDIR(st.st_mode) && st.st_nlink != 1)
			why = "has " + std::to_string(st.st_nlink) + " links";
		if (!why.empty())
			return {0, std::string(path) + ": " + why + ": remove it (rm " + path +
			                   ") if it is not the program's"};
	}
	return {};
}
