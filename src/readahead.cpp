#include "readahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace
{

// A folder's position in walk order: its index in its folder's listing at each level below the
// mount point. Walk order is the lexicographic order of positions, a folder before its contents.
using position = std::vector<std::size_t>;

// Folders listed ahead of the walk that it has not reached yet are kept to this many, so that
// a large volume does not push out of the caches what the walk still needs.
constexpr std::size_t window = 1024;

// A folder's open and listing are slow when they take longer than this, plus a little per
// entry, since a large folder takes a while to list even from the caches: then the disk is
// what they wait for.
constexpr std::chrono::nanoseconds slow_listing = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds slow_per_entry = std::chrono::microseconds(1);

// After this many folders ahead of the walk in a row found quick to list, the caches hold
// what lies ahead (a warm volume, or a listing that was slow for another reason): the threads
// end, until the walk finds a slow listing again.
constexpr unsigned quick_in_a_row_to_end = 64;

// A folder that the read-ahead has listed, with the subfolders it has not handed out yet.
struct listed {
	std::string path;                // below the mount point, ending in '/': "./", "./a/", ...
	std::vector<std::size_t> index;  // each subfolder's index in the listing
	std::string names;               // their names, each followed by a 0 byte
	std::size_t next = 0;            // subfolders handed out
	std::size_t next_name = 0;       // offset in names of the next one's name
};

int root_fd = -1;                // the mount point, the base of every open
dev_t root_dev;                  // its device: folders on another are left to the walk
std::size_t wanted;              // threads to start; 0: no read-ahead this walk
bool at_once;                    // start them at the first folder, and never end them early
bool started;                    // whether they were started and not ended since
bool last_slow;                  // whether the walk's last listing was slow
std::vector<pthread_t> threads;  // the threads started

std::mutex lock;               // guards everything below
std::condition_variable work;  // more folders to list, or stopping
std::condition_variable room;  // the walk has moved on, or stopping
bool stopping;                 // threads end: the walk is done, or the caches hold what's ahead
position walk_at;              // the folder the walk entered last
std::map<position, listed> waiting;  // by the position of each one's next subfolder
std::set<position> ahead;            // listed or being listed, not reached by the walk yet
unsigned short_of_room;              // threads waiting on `room`
unsigned quick_in_a_row;             // folders ahead of the walk listed quickly since a slow one

bool slow(std::chrono::nanoseconds took, std::size_t entries)
{
	return took > slow_listing + slow_per_entry * entries;
}

// Whether the walk has left the folder at `at` and everything below it behind.
bool passed(const position &at)
{
	return at < walk_at &&
	       (at.size() > walk_at.size() || !std::equal(at.begin(), at.end(), walk_at.begin()));
}

// The first folder in walk order that the walk has not passed yet; false when none is known.
// Folders on the walk's own path are handed out too, since what lies ahead is below them.
bool next_folder(position &at, std::string &path)
{
	while (!waiting.empty()) {
		auto node = waiting.extract(waiting.begin());
		listed &parent = node.mapped();
		const char *name = parent.names.data() + parent.next_name;
		std::size_t name_len = std::strlen(name);
		at = node.key();
		path.assign(parent.path).append(name, name_len);
		parent.next_name += name_len + 1;
		if (++parent.next < parent.index.size()) {
			node.key().back() = parent.index[parent.next];
			waiting.insert(std::move(node));
		}
		if (!passed(at))
			return true;
	}
	return false;
}

// Opens the folder at `path` and lists it into `found`, keeping the entries that may be
// folders, and into `named` the other entries whose names hold a ':', which the walk may
// rename; counts all in `entries`. -1 when it can't be opened. Opens through no link and no
// other mount, never above the mount point.
int list_folder(const std::string &path, std::vector<char> &records, listed &found,
                std::string &named, std::size_t &entries)
{
	open_how how{};
	how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
	how.resolve =
	        RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
	int fd = static_cast<int>(syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof how));
	if (fd < 0)
		return -1;
	struct stat st;
	if (fstat(fd, &st) != 0 || st.st_dev != root_dev) {
		(void)close(fd);
		return -1;
	}
	found.path.assign(path).append("/");
	named.clear();
	entries = 0;
	listing_reader reader{fd, records};
	while (const struct dirent64 *entry = next_entry(reader)) {
		const char *name = entry->d_name;
		std::size_t length = std::strlen(name) + 1;
		if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
			found.index.push_back(entries);
			found.names.append(name, length);
		} else if (std::memchr(name, ':', length) != nullptr) {
			named.append(name, length);
		}
		entries++;
	}
	return fd;
}

// Brings the inodes of the entries `named` in the folder open as `fd` into the caches: a rename
// reads the inode of the entry it renames.
void warm_inodes(int fd, const std::string &named)
{
	struct stat st;
	for (std::size_t at = 0; at < named.size(); at += std::strlen(named.data() + at) + 1)
		(void)fstatat(fd, named.data() + at, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT);
}

void *reader(void *)
{
	std::vector<char> records(std::size_t{1} << 15);
	position at;
	std::string path;
	std::string named;
	std::unique_lock<std::mutex> held(lock);
	while (!stopping) {
		if (ahead.size() >= window) {
			short_of_room++;
			room.wait(held);
			short_of_room--;
			continue;
		}
		if (!next_folder(at, path)) {
			work.wait(held);
			continue;
		}
		bool is_ahead = walk_at < at;
		if (is_ahead)
			ahead.insert(at);
		held.unlock();
		listed found;
		std::size_t entries;
		auto began = std::chrono::steady_clock::now();
		int fd = list_folder(path, records, found, named, entries);
		auto took = std::chrono::steady_clock::now() - began;
		held.lock();
		if (fd < 0)
			continue;
		if (slow(took, entries)) {
			quick_in_a_row = 0;
		} else if (is_ahead && ++quick_in_a_row >= quick_in_a_row_to_end && !at_once) {
			stopping = true;
			work.notify_all();
			room.notify_all();
		}
		if (!found.index.empty()) {
			// Handed out before the inodes are read: other threads start on them.
			at.push_back(found.index[0]);
			waiting.emplace(at, std::move(found));
			work.notify_all();
		}
		held.unlock();
		warm_inodes(fd, named);
		(void)close(fd);
		held.lock();
	}
	return nullptr;
}

// The position of the folder last on the way of `at`.
void position_of(const ::place &at, position &out)
{
	out.clear();
	for (std::size_t i = 1; i < at.way.size(); i++)
		out.push_back(at.way[i].index);
}

void start(const ::place &at)
{
	started = true;
	stopping = false;
	quick_in_a_row = 0;
	position_of(at, walk_at);
	// The mount point itself, handed out as the only subfolder of a folder above it.
	waiting.emplace(position{}, listed{"", {0}, std::string{'.', '\0'}});
	// The threads start with every signal blocked, so that a request to stop reaches the walk
	// itself, which stops after the entry in hand.
	sigset_t all;
	sigset_t before;
	(void)sigfillset(&all);
	(void)pthread_sigmask(SIG_BLOCK, &all, &before);
	for (std::size_t i = 0; i < wanted; i++) {
		pthread_t thread;
		if (pthread_create(&thread, nullptr, reader, nullptr) != 0)
			break;
		threads.push_back(thread);
	}
	(void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Ends the threads and forgets what they found.
void end()
{
	{
		std::lock_guard<std::mutex> held(lock);
		stopping = true;
	}
	work.notify_all();
	room.notify_all();
	for (pthread_t thread : threads)
		(void)pthread_join(thread, nullptr);
	threads.clear();
	waiting.clear();
	ahead.clear();
	started = false;
}

}  // namespace

std::size_t readahead_share(std::size_t budget)
{
	// A quarter at most, and not even one thread where that is less than two.
	std::size_t share = std::min<std::size_t>(budget / 4, readahead_max_threads + 1);
	return share < 2 ? 0 : share;
}

void readahead_prepare(int mount_fd, std::size_t share, unsigned threads, bool start_at_once)
{
	at_once = start_at_once;
	if (threads == 0 || share < 2)
		return;
	root_fd = openat(mount_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (root_fd < 0)
		return;
	struct stat st;
	if (fstat(root_fd, &st) != 0) {
		(void)close(root_fd);
		root_fd = -1;
		return;
	}
	root_dev = st.st_dev;
	// Each thread holds one folder open at a time, besides root_fd.
	wanted = std::min<std::size_t>(threads, share - 1);
}

void readahead_walked(const ::place &at, std::size_t entries, std::chrono::nanoseconds took)
{
	if (wanted == 0)
		return;
	if (started) {
		last_slow = false;
		std::unique_lock<std::mutex> held(lock);
		if (stopping) {
			// The threads found the folders ahead in the caches and ended.
			held.unlock();
			end();
		} else {
			position_of(at, walk_at);
			ahead.erase(ahead.begin(), ahead.upper_bound(walk_at));
			if (short_of_room > 0 && ahead.size() <= window - window / 4)
				room.notify_all();
			return;
		}
	}
	// Two in a row, so that one listing held up for another reason (the walk's thread made to
	// wait for a processor, one folder new to the caches) does not start it.
	bool was_slow = last_slow;
	last_slow = slow(took, entries);
	if (at_once || (was_slow && last_slow))
		start(at);
}

void readahead_stop()
{
	end();
	wanted = 0;
	if (root_fd >= 0)
		(void)close(root_fd);
	root_fd = -1;
}
