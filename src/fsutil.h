// File-system helpers that the walk, the read-ahead, the records and the undo share, and the one
// way the library reports a failure.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Why a call failed, for the programs to word: an errno, or a reason of the library's own.
struct fault {
	int err = 0;      // errno of the failed call; 0 when `why` says it instead
	std::string why;  // "not a regular file", "line 3: ..."; empty with an errno
	explicit operator bool() const
	{
		return err != 0 || !why.empty();
	}
};

// The fault in words: "2 No such file or directory" (with_number) or "No such file or
// directory"; a reason as it stands.
std::string fault_text(const fault &f, bool with_number);

// Opens `name`, relative to the folder open as `dirfd` (AT_FDCWD: the working folder), with
// `flags` (O_CLOEXEC and O_NONBLOCK added, so that a FIFO can't hang the caller), and fills
// `st` with what it opened; the descriptor, or -1 with `f` set.
int open_file(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f);

// open_file for a regular file only: anything else is closed again, "not a regular file".
int open_regular(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f);

// Why the file with status `st` is one that someone other than root or the effective user owns
// or may write ("owned by user N", "writable by group or others"); "" when it is not.
std::string foreign(const struct stat &st);

// open_regular, never through a link nor taking a terminal, for a file that only root or the
// effective user can change: anything else is closed again, `f` saying why (see foreign).
int open_trusted(int dirfd, const char *name, int flags, mode_t mode, struct stat &st, fault &f);

// Reads what the file open as `fd` holds from its offset on, up to `limit` bytes, into `out`;
// what was read stays in `out` when a read fails.
fault read_whole(int fd, std::string &out, std::size_t limit = static_cast<std::size_t>(-1));

// The last part of `path`: the name of a file in its folder.
const char *file_name(const char *path);

// Renames entry `from` of the folder open as `dirfd` to `to` in the same folder, never
// replacing an existing `to` (EEXIST).
fault rename_noreplace(int dirfd, const char *from, const char *to);

// A folder as the file system knows it, whatever path leads to it.
struct folder_id {
	dev_t dev;
	ino_t ino;
	bool operator==(const folder_id &) const = default;
};

// The folder open as `fd`; {0, 0} when it can't be told.
folder_id identity(int fd);

// A second mark of a file's identity besides its device and inode number, which a file made
// after another was deleted never shares with it, even where it takes over its inode number.
struct file_mark {
	char kind = '-';         // 'b': its birth time; 'g': its inode generation; '-': none
	std::int64_t value = 0;  // b: the birth time's seconds; g: the generation
	std::uint32_t nsec = 0;  // b: the birth time's nanoseconds
	bool operator==(const file_mark &) const = default;
};

// What a statx must ask for, besides the inode number and type, for mark_of.
inline constexpr unsigned mark_mask = STATX_BTIME;

// statx of entry `name` of the folder open as `dirfd` (of `dirfd` itself when `name` is ""),
// not following a link, with its type, inode number and birth time asked for; 0, or -1 with
// errno set.
int stat_entry(int dirfd, const char *name, struct statx &sx);

// The mark of kind `kind` ('b' or 'g'; 0: 'b' where `sx` holds a birth time, else 'g') of the
// file that `sx` describes, entry `name` of `dirfd` as for stat_entry; kind '-' when it has
// none of that kind. A generation is read only through a descriptor of a folder or a regular
// file, opened without following a link, blocking or taking a terminal; never of a device.
file_mark mark_of(int dirfd, const char *name, const struct statx &sx, char kind = 0);

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
