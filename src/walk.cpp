#include "walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "progress.h"
#include "readahead.h"

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

// What the walk keeps of one folder on its way, beside the folder's level in `here`.
struct frame {
	int fd;               // -1 while handed back to stay within the descriptor budget
	std::uint64_t mount;  // the mount it lies on
	std::string listing;  // per entry: its type from the listing, its inode, its name, a 0 byte
	std::size_t next;     // offset in listing of the entry being handled
	std::size_t index;    // entries in listing before the one at next
	bool in_child;        // the entry at next is a folder being walked right now
};

// Where an entry's name starts in a listing, after its type and inode.
constexpr std::size_t name_offset = 1 + sizeof(ino_t);

const act *acting;          // what is done with each decision
walk_counts counted;        // what the walk has counted so far
std::uint64_t last_folder;  // counted.folders when it last triggered a statistics write
std::uint64_t last_file;    // counted.files when it last triggered a statistics write
folder_id root_id;          // the mount point: a link is followed only to it or below it
place here;                 // the way down from the mount point; one frame for each level
std::vector<frame> stack;   // the walk's own state of each folder on the way
std::size_t fd_budget;      // levels that keep their folder open; lowered when the process
                            // runs out of descriptors all the same
decision decided;           // what was decided for the entry at hand; capacity kept
std::unordered_set<folder_id, folder_id_hash> walked;  // each folder is walked once per run

void count_folder()
{
	if (++counted.folders > last_folder + stats_threshold) {
		if (acting->stats != nullptr)
			acting->stats(acting->context, counted.files, counted.folders);
		last_folder = counted.folders;
	}
}

void count_file()
{
	if (++counted.files > last_file + stats_threshold) {
		if (acting->stats != nullptr)
			acting->stats(acting->context, counted.files, counted.folders);
		last_file = counted.files;
	}
	progress_tick(counted.files, counted.folders, counted.conversions);
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
		if (stack[i].fd >= 0 && !here.way[i + 1].via_link) {
			(void)close(stack[i].fd);
			stack[i].fd = -1;
			fd_budget = std::max<std::size_t>(1, std::min(fd_budget, stack.size() - 1));
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
			counted.unwalked++;
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

// Enters the folder open as `fd`, entry `name` (at `index` in its parent's listing) of the
// folder the walk is in, whose path `here.path` already names. `name` lies in the parent's
// listing, which moves when the stack grows: it is used first. The read-ahead learns where
// the walk is, and how long the listing took.
void enter(int fd, folder_id id, const file_mark &mark, std::uint64_t mount, const char *name,
           std::size_t index, bool via_link)
{
	walked.insert(id);
	here.way.push_back({id, mark, name, via_link, index, here.path.size()});
	stack.push_back({fd, mount, {}, 0, 0, false});
	auto started = std::chrono::steady_clock::now();
	std::size_t entries = read_listing(fd, stack.back().listing);
	readahead_walked(here, entries, std::chrono::steady_clock::now() - started);
}

// Gets back a parent's descriptor through the child's "..", if it is still the same folder.
bool reopen_parent(int child_fd, frame &parent, folder_id parent_id)
{
	if (child_fd < 0)
		return false;
	int fd = open_at(child_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return false;
	if (identity(fd) != parent_id) {
		(void)close(fd);
		return false;
	}
	parent.fd = fd;
	return true;
}

void leave()
{
	frame &done = stack.back();
	if (stack.size() > 1) {
		frame &parent = stack[stack.size() - 2];
		const level &up = here.way[here.way.size() - 2];
		// A parent that can't be had back safely is left as it is: no rename in it.
		if (parent.fd < 0 && !reopen_parent(done.fd, parent, up.id)) {
			parent.next = parent.listing.size();
			parent.in_child = false;
		}
		here.path.resize(up.path_len);
	}
	if (done.fd >= 0)
		(void)close(done.fd);
	stack.pop_back();
	here.way.pop_back();
}

}  // namespace

// Iterative, so that depth costs heap, not stack; each frame keeps one descriptor, up to the
// budget, so that depth is not bounded by the open-file limit either.
walk_counts scan_path(const walk_settings &how, const act &act)
{
	acting = &act;
	counted = {};
	last_folder = 0;
	last_file = 0;
	count_folder();
	int fd = open_at(AT_FDCWD, how.mount_point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return counted;
	std::uint64_t root_mount = 0;
	file_mark root_mark;
	root_id = identify(fd, root_mount, root_mark);
	fd_budget = descriptor_budget();
	std::size_t share = readahead_share(fd_budget);
	fd_budget -= share;
	readahead_prepare(fd, share, how.readahead, how.readahead_at_once);
	progress_start(counted.files, counted.folders, counted.conversions);

	here.path = how.mount_point;
	enter(fd, root_id, root_mark, root_mount, how.mount_point, 0, false);
	while (!stack.empty()) {
		if (how.stop != nullptr && *how.stop != 0) {
			for (const frame &f : stack)
				if (f.fd >= 0)
					(void)close(f.fd);
			stack.clear();
			here.way.clear();
			break;
		}
		frame &cur = stack.back();
		if (cur.next == cur.listing.size()) {
			leave();
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
			bool links = stack.size() < fd_budget;
			int child =
			        open_folder(cur.fd, name, type, links, id, mark, mount, via_link);
			if (child >= 0) {
				cur.in_child = true;
				if (!via_link && stack.size() >= fd_budget) {
					(void)close(cur.fd);
					cur.fd = -1;
				}
				count_folder();
				here.path += '/';
				here.path.append(name, name_len);
				if (mount != cur.mount && act.mount != nullptr)
					act.mount(act.context, here.path);
				enter(child, id, mark, mount, name, cur.index, via_link);
				continue;
			}
		}
		cur.in_child = false;
		count_file();
		decide_name(*how.decoding, std::string_view(name, name_len), decided);
		if (decided.renamed)
			counted.conversions++;
		act.entry(act.context, cur.fd, here, name, ino, decided);
		cur.next += name_offset + name_len + 1;
		cur.index++;
	}
	readahead_stop();
	progress_hide();
	return counted;
}
