#include "walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert.h"
#include "preview.h"
#include "runstats.h"

std::uint64_t g_folder_counter;
std::uint64_t g_file_counter;
std::uint64_t g_last_folder;
std::uint64_t g_last_file;

namespace
{

// A counter triggers a statistics write when it passes its last trigger by more than this.
constexpr std::uint64_t stats_threshold = 10;

struct folder_id_hash {
	std::size_t operator()(const folder_id &id) const noexcept
	{
		return std::hash<std::uint64_t>()(id.ino ^
		                                  (static_cast<std::uint64_t>(id.dev) << 32));
	}
};

// One folder on the current descent path.
struct frame {
	int fd;                // -1 while handed back to stay within the descriptor budget
	folder_id id;          // what fd must be when it is reopened through ".."
	std::uint64_t mount;   // the mount it lies on
	std::string listing;   // per entry: its type from the listing, its name, a 0 byte
	std::size_t next;      // offset in listing of the entry being handled
	std::size_t path_len;  // length of this folder's path
	bool in_child;         // the entry at next is a folder being walked right now
};

folder_id root_id;  // the mount point: a link is followed only to it or below it
std::unordered_set<folder_id, folder_id_hash> walked;  // each folder is walked once per run
std::size_t fd_budget;  // frames deeper than this keep no descriptor while below them

// The progress line is brought up to date at most this often, and the clock is read only
// every this many entries, so that it costs the walk nothing to speak of.
constexpr long progress_interval_ns = 250'000'000;
constexpr std::uint64_t progress_every = 64;

bool progress_on;         // standard error is a terminal: the walk shows its progress there
bool progress_shown;      // the progress line is on the terminal, after the saved cursor
timespec progress_start;  // when the walk began
timespec progress_last;   // when the progress line was last brought up to date

long long elapsed_ns(const timespec &from, const timespec &to)
{
	return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

// Writes the line where the cursor stood when it was first shown (saved with ESC 7, restored
// with ESC 8 and the rest of the line erased), so that it stays on one line, after whatever
// the console shows there.
void show_progress(const timespec &now)
{
	long long seconds = elapsed_ns(progress_start, now) / 1'000'000'000LL;
	std::string text = progress_shown ? "\0338\033[K" : "\0337";
	text += "entries: " + std::to_string(g_file_counter);
	text += "  folders: " + std::to_string(g_folder_counter);
	text += "  conversions: " + std::to_string(g_conversion_counter);
	text += "  " + std::to_string(seconds / 60) + (seconds % 60 < 10 ? ":0" : ":");
	text += std::to_string(seconds % 60);
	(void)write(STDERR_FILENO, text.data(), text.size());
	progress_shown = true;
	progress_last = now;
}

void count_folder()
{
	if (++g_folder_counter > g_last_folder + stats_threshold) {
		store_stats();
		g_last_folder = g_folder_counter;
	}
}

void count_file()
{
	if (++g_file_counter > g_last_file + stats_threshold) {
		store_stats();
		g_last_file = g_file_counter;
	}
	if (progress_on && g_file_counter % progress_every == 0) {
		timespec now;
		(void)clock_gettime(CLOCK_MONOTONIC, &now);
		if (elapsed_ns(progress_last, now) >= progress_interval_ns)
			show_progress(now);
	}
}

// The folder open as `fd`, and in `mount` the mount it lies on (its device where the system
// does not tell mounts apart); {0, 0} when it can't be told.
folder_id identify(int fd, std::uint64_t &mount)
{
	struct statx sx;
	if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &sx) != 0)
		return {0, 0};
	dev_t dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
	mount = (sx.stx_mask & STATX_MNT_ID) != 0 ? sx.stx_mnt_id : dev;
	return {dev, sx.stx_ino};
}

// Opens entry `name` of `dirfd` when it is a folder to walk: a real subfolder, or (when
// `links` allows) a link to a folder inside the volume; never one walked before in this run.
int open_folder(int dirfd, const char *name, unsigned char type, bool links, folder_id &id,
                std::uint64_t &mount, bool &via_link)
{
	if (type == DT_UNKNOWN) {
		struct stat st;
		if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return -1;
		type = IFTODT(st.st_mode);
	}
	if (type != DT_DIR && type != DT_LNK)
		return -1;

	int fd = -1;
	via_link = false;
	if (type == DT_DIR) {
		fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		// ELOOP or ENOTDIR: replaced by a link since it was listed.
		if (fd < 0 && errno != ELOOP && errno != ENOTDIR)
			return -1;
	}
	if (fd < 0) {
		if (!links)
			return -1;
		fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		if (fd < 0)
			return -1;
		via_link = true;
	}
	id = identify(fd, mount);
	if (id == folder_id{0, 0} || walked.count(id) != 0 || (via_link && !below(fd, root_id))) {
		(void)close(fd);
		return -1;
	}
	return fd;
}

// Records from getdents64, reused from folder to folder; large enough that most folders are
// listed in one call.
std::vector<char> records;

// The whole listing is read before any entry is renamed, so no renamed entry is listed again.
// Read straight from the folder's descriptor: no second descriptor, no stream to set up.
void read_listing(int fd, std::string &listing)
{
	if (records.empty())
		records.resize(std::size_t{1} << 18);
	ssize_t filled;
	while ((filled = getdents64(fd, records.data(), records.size())) > 0) {
		for (ssize_t at = 0; at < filled;) {
			const auto *entry =
			        reinterpret_cast<const struct dirent64 *>(records.data() + at);
			at += entry->d_reclen;
			const char *name = entry->d_name;
			if (name[0] == '.' &&
			    (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
				continue;
			listing += static_cast<char>(entry->d_type);
			listing.append(name, std::strlen(name) + 1);
		}
	}
}

void enter(std::vector<frame> &stack, int fd, folder_id id, std::uint64_t mount,
           std::size_t path_len)
{
	walked.insert(id);
	stack.push_back({fd, id, mount, {}, 0, path_len, false});
	read_listing(fd, stack.back().listing);
}

// Gets back a parent's descriptor through the child's "..", if it is still the same folder.
bool reopen_parent(int child_fd, frame &parent)
{
	if (child_fd < 0)
		return false;
	int fd = openat(child_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return false;
	if (identity(fd) != parent.id) {
		(void)close(fd);
		return false;
	}
	parent.fd = fd;
	return true;
}

void leave(std::vector<frame> &stack, std::string &path)
{
	frame &done = stack.back();
	if (stack.size() > 1) {
		frame &parent = stack[stack.size() - 2];
		// A parent that can't be had back safely is left as it is: no rename in it.
		if (parent.fd < 0 && !reopen_parent(done.fd, parent)) {
			parent.next = parent.listing.size();
			parent.in_child = false;
		}
		path.resize(parent.path_len);
	}
	if (done.fd >= 0)
		(void)close(done.fd);
	stack.pop_back();
}

}  // namespace

void hide_progress()
{
	if (!progress_shown)
		return;
	(void)write(STDERR_FILENO, "\0338\033[K", 5);
	progress_shown = false;
}

std::size_t descriptor_budget()
{
	struct rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
		return 512;
	return limit.rlim_cur / 2 > 8 ? limit.rlim_cur / 2 : 8;
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

// Iterative, so that depth costs heap, not stack; each frame keeps one descriptor, up to the
// budget, so that depth is not bounded by the open-file limit either.
void scan_path(const char *path)
{
	count_folder();
	int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return;
	std::uint64_t root_mount = 0;
	root_id = identify(fd, root_mount);
	fd_budget = descriptor_budget();
	progress_on = isatty(STDERR_FILENO) != 0;
	if (progress_on) {
		(void)clock_gettime(CLOCK_MONOTONIC, &progress_start);
		show_progress(progress_start);
	}

	std::string dir = path;
	std::vector<frame> stack;
	enter(stack, fd, root_id, root_mount, dir.size());
	while (!stack.empty()) {
		frame &cur = stack.back();
		if (cur.next == cur.listing.size()) {
			leave(stack, dir);
			continue;
		}
		auto type = static_cast<unsigned char>(cur.listing[cur.next]);
		const char *name = cur.listing.data() + cur.next + 1;
		std::size_t name_len = std::strlen(name);

		if (!cur.in_child) {
			folder_id id;
			std::uint64_t mount = 0;
			bool via_link;
			// A link whose parent can't be reopened through ".." is left to the walk
			// over the folder it points to, which lies inside the volume too.
			bool links = stack.size() < fd_budget;
			int child = open_folder(cur.fd, name, type, links, id, mount, via_link);
			if (child >= 0) {
				cur.in_child = true;
				if (!via_link && stack.size() >= fd_budget) {
					(void)close(cur.fd);
					cur.fd = -1;
				}
				count_folder();
				dir += '/';
				dir.append(name, name_len);
				if (mount != cur.mount)
					note_mount(dir);
				enter(stack, child, id, mount, dir.size());
				continue;
			}
		}
		cur.in_child = false;
		count_file();
		set_new_name(cur.fd, dir, name);
		cur.next += name_len + 2;
	}
	hide_progress();
}
