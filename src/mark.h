// A second mark of a file's identity besides its device and inode number, which a file made
// after another was deleted never shares with it, even where it takes over its inode number.
#pragma once

#include <sys/stat.h>

#include <cstdint>

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
