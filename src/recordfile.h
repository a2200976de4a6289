// A record file of the run: the log, the journal or the statistics file, each in the checked
// record folder, opened relative to it and never through a link, appended whole.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "fsutil.h"

// One record file, opened at most once for the run.
struct record_file {
	int dir_fd = -1;    // the checked record folder
	std::string path;   // the file's path, for people
	int fd = -1;        // the file, once kept open for the rest of the run
	bool torn = false;  // a text stayed in it in part: no whole text can follow it
};

// Makes `r` the file `path` (its last part) of the checked record folder open as `dirfd`;
// nothing is opened.
void record_start(record_file &r, int dirfd, const std::string &path);

// Opens the file of `r` with `flags` and `mode`, never through a link, and fills `st` with what
// it opened: with `trusted` only a regular file that only root or the effective user can change
// (open_trusted), else whatever is there (open_file). The descriptor, which the caller closes
// or keeps in r.fd; -1 with `f` set.
int record_open(const record_file &r, int flags, mode_t mode, bool trusted, struct stat &st,
                fault &f);

// Cuts the last `length` bytes, the last text appended, off the file kept open in `r`; what
// can't be cut leaves it torn.
void record_cut(record_file &r, std::size_t length);

// Whether a record file open as `fd` may grow by `bytes` and still leave free for unprivileged
// users at least 1% of its file system's size, so that records never take root's reserve; a
// fault ("would leave less than 1% of its file system free", or ENOSPC where users have no
// room for them at all) when not. The free space is read only when what was granted since it
// was last read is spent. Every record file is taken to lie on one file system, the record
// folder's.
fault keep_reserve(int fd, std::size_t bytes);

// Appends `text` to the regular file `fd`, open in append mode, whole or not at all: nothing
// when keep_reserve refuses it, and what a failed write left of it is cut off again; `torn` is
// set when a part stayed.
fault append_whole(int fd, std::string_view text, bool &torn);

// append_whole to the file kept open in `r`; EIO, and nothing written, once a text stayed there
// in part. Inline: it is on the way of every rename.
inline fault record_append(record_file &r, std::string_view text)
{
	if (r.torn)
		return {EIO, {}};
	return append_whole(r.fd, text, r.torn);
}

// Cuts the last `length` bytes off the regular file `fd`.
fault cut_last(int fd, std::size_t length);
