#include "walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert.h"
#include "journal.h"
#include "mark.h"
#include "preview.h"
#include "readahead.h"
#include "runstats.h"

std::uint64_t g_folder_counter;
std::uint64_t g_file_counter;
std::uint64_t g_last_folder;
std::uint64_t g_last_file;
std::uint64_t g_unwalked;
std::size_t g_fd_budget;
unsigned g_progress_column;

namespace
{

// A counter triggers a statistics write when it passes its last trigger by more than this.
constexpr std::uint64_t stats_threshold = 10;

// Descriptors the walk leaves free beyond its folders: the log and the statistics file, which
// open late, a folder being opened, and two for climbing from a link's target.
constexpr std::size_t fd_reserve = 5;

struct folder_id_hash {
	std::size_t operator()(const folder_id &id) const noexcept
	{
		return std::hash<std::uint64_t>()(id.ino ^
		                                  (static_cast<std::uint64_t>(id.dev) << 32));
	}
};

// One folder on the current descent path.
struct frame {
	int fd;               // -1 while handed back to stay within the descriptor budget
	folder_id id;         // what fd must be when it is reopened through ".."
	std::uint64_t mount;  // the mount it lies on
	std::string listing;  // per entry: its type from the listing, its inode, its name, a 0 byte
	std::size_t next;     // offset in listing of the entry being handled
	std::size_t index;    // entries in listing before the one at next
	std::size_t path_len;  // length of this folder's path
	bool in_child;         // the entry at next is a folder being walked right now
	bool via_link;         // entered through a link, so its ".." leads elsewhere
};

// Where an entry's name starts in a listing, after its type and inode.
constexpr std::size_t name_offset = 1 + sizeof(ino_t);

folder_id root_id;  // the mount point: a link is followed only to it or below it
std::unordered_set<folder_id, folder_id_hash> walked;  // each folder is walked once per run
std::vector<frame> stack;                              // the mount point, then the way down
std::vector<std::size_t> where;  // each frame's index in its parent's listing, for the read-ahead

// The progress line is brought up to date at most this often, and the clock is read only
// every this many entries, so that it costs the walk nothing to speak of.
constexpr long progress_interval_ns = 250'000'000;
constexpr std::uint64_t progress_every = 64;

bool progress_on;         // standard error is a terminal: the walk shows its progress there
bool progress_shown;      // the progress line is on the terminal, after the saved cursor
unsigned progress_at;     // the column where the progress line starts
timespec progress_start;  // when the walk began
timespec progress_last;   // when the progress line was last brought up to date

long long elapsed_ns(const timespec &from, const timespec &to)
{
	return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

// Whether standard output writes to the same terminal as standard error.
bool output_on_progress_terminal()
{
	struct stat out;
	struct stat err;
	if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0)
		return false;
	return isatty(STDOUT_FILENO) != 0 && S_ISCHR(out.st_mode) && S_ISCHR(err.st_mode) &&
	       out.st_rdev == err.st_rdev;
}

// Writes the line where the cursor stood when it was first shown (saved with ESC 7, restored
// with ESC 8 and the rest of the line erased), so that it stays on one line, after whatever
// the console shows there. A line that wrapped would scroll the terminal away from the saved
// cursor: it is kept short of the terminal's last column, read anew each time so that a
// resize is followed, by leaving out its last parts, all of them where not even the first fits.
void show_progress(const timespec &now)
{
	progress_last = now;
	winsize size{};
	unsigned columns = 80;  // what a terminal that tells no size most likely has
	if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col != 0)
		columns = size.ws_col;
	std::size_t room = columns > progress_at + 1 ? columns - progress_at - 1 : 0;
	long long seconds = elapsed_ns(progress_start, now) / 1'000'000'000LL;
	const std::string parts[] = {
	        "entries: " + std::to_string(g_file_counter),
	        "  folders: " + std::to_string(g_folder_counter),
	        "  conversions: " + std::to_string(g_conversion_counter),
	        "  " + std::to_string(seconds / 60) + (seconds % 60 < 10 ? ":0" : ":") +
	                std::to_string(seconds % 60),
	};
	std::string line;
	for (const std::string &part : parts) {
		if (line.size() + part.size() > room)
			break;
		line += part;
	}
	if (line.empty()) {
		hide_progress();
		return;
	}
	std::string text = progress_shown ? "\0338\033[K" : "\0337";
	text += line;
	(void)write(STDERR_FILENO, text.data(), text.size());
	progress_shown = true;
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

// The folder open as `fd`, in `mount` the mount it lies on (its device where the system does
// not tell mounts apart), and in `mark` its mark; {0, 0} when it can't be told.
folder_id identify(int fd, std::uint64_t &mount, file_mark &mark)
{
	constexpr unsigned wanted = STATX_TYPE | STATX_INO | STATX_MNT_ID | mark_mask;
	struct statx sx;
	if (statx(fd, "", AT_EMPTY_PATH, wanted, &sx) != 0)
		return {0, 0};
	dev_t dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
	mount = (sx.stx_mask & STATX_MNT_ID) != 0 ? sx.stx_mnt_id : dev;
	mark = mark_of(fd, "", sx);
	return {dev, sx.stx_ino};
}

// Closes the descriptor of the highest folder on the way that can have it back through the ".."
// of the folder below it, and keeps later descents from taking it again; false when none can.
bool give_back()
{
	for (std::size_t i = 0; i + 1 < stack.size(); i++) {
		if (stack[i].fd >= 0 && !stack[i + 1].via_link) {
			(void)close(stack[i].fd);
			stack[i].fd = -1;
			g_fd_budget =
			        std::max<std::size_t>(1, std::min(g_fd_budget, stack.size() - 1));
			return true;
		}
	}
	return false;
}

// openat that, when the process has no descriptor left, gives one of the walk's back and tries
// again; what still fails for want of descriptors is counted.
int open_at(int dirfd, const char *name, int flags)
{
	for (;;) {
		int fd = openat(dirfd, name, flags);
		if (fd >= 0 || (errno != EMFILE && errno != ENFILE))
			return fd;
		if (!give_back()) {
			g_unwalked++;
			return -1;
		}
	}
}

// Opens entry `name` of `dirfd` when it is a folder to walk: a real subfolder, or (when
// `links` allows) a link to a folder inside the volume; never one walked before in this run.
int open_folder(int dirfd, const char *name, unsigned char type, bool links, folder_id &id,
                file_mark &mark, std::uint64_t &mount, bool &via_link)
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
		fd = open_at(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		// ELOOP or ENOTDIR: replaced by a link since it was listed.
		if (fd < 0 && errno != ELOOP && errno != ENOTDIR)
			return -1;
	}
	if (fd < 0) {
		if (!links)
			return -1;
		fd = open_at(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		if (fd < 0)
			return -1;
		via_link = true;
	}
	id = identify(fd, mount, mark);
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
// Returns the number of entries.
std::size_t read_listing(int fd, std::string &listing)
{
	std::size_t entries = 0;
	if (records.empty())
		records.resize(std::size_t{1} << 18);
	listing_reader reader{fd, records};
	while (const struct dirent64 *entry = next_entry(reader)) {
		auto ino = static_cast<ino_t>(entry->d_ino);
		listing += static_cast<char>(entry->d_type);
		listing.append(reinterpret_cast<const char *>(&ino), sizeof ino);
		listing.append(entry->d_name, std::strlen(entry->d_name) + 1);
		entries++;
	}
	return entries;
}

// `name` lies in the parent's listing, which moves when the stack grows: it is used first. The
// read-ahead learns where the walk is, and how long the listing took.
void enter(int fd, folder_id id, const file_mark &mark, std::uint64_t mount, std::size_t path_len,
           const char *name, bool via_link)
{
	walked.insert(id);
	journal_enter(id, mark, name, via_link);
	stack.push_back({fd, id, mount, {}, 0, 0, path_len, false, via_link});
	auto started = std::chrono::steady_clock::now();
	std::size_t entries = read_listing(fd, stack.back().listing);
	readahead_walked(where, entries, std::chrono::steady_clock::now() - started);
}

// Gets back a parent's descriptor through the child's "..", if it is still the same folder.
bool reopen_parent(int child_fd, frame &parent)
{
	if (child_fd < 0)
		return false;
	int fd = open_at(child_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return false;
	if (identity(fd) != parent.id) {
		(void)close(fd);
		return false;
	}
	parent.fd = fd;
	return true;
}

void leave(std::string &path)
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
		where.pop_back();
	}
	if (done.fd >= 0)
		(void)close(done.fd);
	stack.pop_back();
	journal_leave();
}

}  // namespace

void hide_progress()
{
	if (!progress_shown)
		return;
	(void)write(STDERR_FILENO, "\0338\033[K", 5);
	progress_shown = false;
}

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
		std::string listing;
		open_now = read_listing(fd, listing) - 1;  // its own descriptor is closed again
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

// Iterative, so that depth costs heap, not stack; each frame keeps one descriptor, up to the
// budget, so that depth is not bounded by the open-file limit either.
void scan_path(const char *path)
{
	count_folder();
	int fd = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return;
	std::uint64_t root_mount = 0;
	file_mark root_mark;
	root_id = identify(fd, root_mount, root_mark);
	g_fd_budget = descriptor_budget();
	std::size_t share = readahead_share(g_fd_budget);
	g_fd_budget -= share;
	readahead_prepare(fd, share);
	progress_on = isatty(STDERR_FILENO) != 0;
	if (progress_on) {
		progress_at = output_on_progress_terminal() ? g_progress_column : 0;
		(void)clock_gettime(CLOCK_MONOTONIC, &progress_start);
		show_progress(progress_start);
	}

	std::string dir = path;
	enter(fd, root_id, root_mark, root_mount, dir.size(), path, false);
	while (!stack.empty()) {
		frame &cur = stack.back();
		if (cur.next == cur.listing.size()) {
			leave(dir);
			continue;
		}
		auto type = static_cast<unsigned char>(cur.listing[cur.next]);
		ino_t ino;
		std::memcpy(&ino, cur.listing.data() + cur.next + 1, sizeof ino);
		const char *name = cur.listing.data() + cur.next + name_offset;
		std::size_t name_len = std::strlen(name);

		if (!cur.in_child) {
			folder_id id;
			file_mark mark;
			std::uint64_t mount = 0;
			bool via_link;
			// A link whose parent can't be reopened through ".." is left to the walk
			// over the folder it points to, which lies inside the volume too.
			bool links = stack.size() < g_fd_budget;
			int child =
			        open_folder(cur.fd, name, type, links, id, mark, mount, via_link);
			if (child >= 0) {
				cur.in_child = true;
				if (!via_link && stack.size() >= g_fd_budget) {
					(void)close(cur.fd);
					cur.fd = -1;
				}
				count_folder();
				dir += '/';
				dir.append(name, name_len);
				if (mount != cur.mount)
					note_mount(dir);
				where.push_back(cur.index);
				enter(child, id, mark, mount, dir.size(), name, via_link);
				continue;
			}
		}
		cur.in_child = false;
		count_file();
		set_new_name(cur.fd, dir, name, ino);
		cur.next += name_offset + name_len + 1;
		cur.index++;
	}
	readahead_stop();
	hide_progress();
}
