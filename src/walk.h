// The depth-first walk over the volume.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern std::uint64_t g_folder_counter;  // folders walked, the mount point included
extern std::uint64_t g_file_counter;    // entries checked other than "." and "..", folders included
extern std::uint64_t g_last_folder;  // g_folder_counter when it last triggered a statistics write
extern std::uint64_t g_last_file;    // g_file_counter when it last triggered a statistics write
extern std::uint64_t g_unwalked;     // folders not walked in full for want of descriptors
extern std::size_t g_fd_budget;      // levels that keep their folder open: set by scan_path as it
                                     // starts, lowered by whoever takes descriptors for itself
extern unsigned g_progress_column;   // columns that standard output's line takes when the walk
                                     // starts; the progress line follows them on a terminal
                                     // that both share

// A folder as the file system knows it, whatever path leads to it.
struct folder_id {
	dev_t dev;
	ino_t ino;
	bool operator==(const folder_id &) const = default;
};

// The folder open as `fd`; {0, 0} when it can't be told.
folder_id identity(int fd);

// True when the folder open as `fd` is the folder `root` or lies below it, found by climbing
// through ".." until `root` or the file system's root.
bool below(int fd, folder_id root);

// A folder's listing as it is read, straight from the folder's descriptor with getdents64
// into `records`, which is reused from one folder to the next.
struct listing_reader {
	int fd;
	std::vector<char> &records;
	ssize_t filled = 0;  // bytes of records read by the last call
	ssize_t at = 0;      // offset in records of the next entry
};

// The next entry of the listing other than "." and ".."; nullptr at its end or on an error.
const struct dirent64 *next_entry(listing_reader &reader);

// How many folders a walk may hold open at once: the descriptors free under the soft open-file
// limit, those inherited counted as taken, less a few kept for the records and the checks; at
// least 1.
std::size_t descriptor_budget();

// Walks the folder `path` and everything below it that lies inside it, converting every
// entry's name after its contents; never fails to its caller. When standard error is a
// terminal, it keeps a progress line there, taken off again at the end.
void scan_path(const char *path);

// Takes the progress line off the terminal until its next update, so that a line printed to
// the console stands on its own.
void hide_progress();
