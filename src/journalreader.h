// The journal's reader: the runs of a journal and one run's records, for the undo, read from a
// descriptor in pieces, so that its memory follows a run's folders, never the journal's size.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fsutil.h"
#include "mounts.h"

// A run as the listing finds it, its records counted.
struct journal_run {
	off_t at = 0;         // offset of its first line
	std::string version;  // the format's version; read if format_known
	std::string id;       // "" when its first line names none: then it has no records
	std::string started;  // its start, "YYYY-MM-DDThh:mm:ssZ"; "" if not known
	std::size_t renamed = 0, failed = 0, unreadable = 0;  // its records of each kind
	std::size_t unmarked = 0;   // of the renamed, those without a mark (format 1)
	bool placed = false;        // its volume is recorded (format 3): `on`
	volume on;                  // the volume at the mount point when it started, as recorded
	bool taken_back = false;    // an undo marked it taken back
	std::string taken_back_at;  // when the last undo to do so did; "" if not known
};

// A folder of a run as the journal records it; number 0 is the mount point.
struct journal_folder {
	folder_id id;
	file_mark mark;      // none in a journal of format 1
	std::size_t parent;  // number of the folder it was entered from
	std::string name;    // its name there when the run entered it
	bool via_link;       // entered through a symbolic link of that name
	off_t at;            // offset of its record
};

// One run's folders, and where its records lie.
struct run_folders {
	std::vector<journal_folder> folders;  // by number; empty when the run renamed nothing
	off_t body = 0;                       // just past the run's first line
	off_t range_end =
	        0;      // the next run's first line: past it, only lines of the run's id count
	off_t end = 0;  // just past the run's last line
};

// One record of a run that the undo acts on or reports.
struct journal_entry {
	enum { renamed, failed, unreadable } kind;
	std::size_t folder;    // renamed, failed: number of the folder the entry is in
	ino_t ino;             // renamed, failed: the entry's inode
	file_mark mark;        // renamed, failed: its mark; none in a journal of format 1
	std::string from, to;  // renamed, failed: its names before and after the run
	std::string text;      // unreadable: the line as the journal holds it, its first 4096 bytes
};

// Whether a run of format `version` ("1", "2" or "3") has its records read.
bool format_known(std::string_view version);

// Opens the journal `name` of folder `dirfd` for reading, never through a link; refuses a file
// that is not regular ("not a regular file") or that someone other than root or the effective
// user could have written ("owned by user N", "writable by group or others"). -1 with `f` set.
int open_journal(int dirfd, const char *name, fault &f);

// The runs of the journal open as `fd`, oldest first, in one pass: a first line that no line
// feed ends starts none.
fault list_runs(int fd, std::vector<journal_run> &runs);

// The folders of `run` and where its records lie, in one pass from its first line on.
fault read_folders(int fd, const journal_run &run, run_folders &out);

// Hands the records of `run` to `take`, newest first, until it returns false; every line that a
// line feed ends and that is no record of it, such as one holding a name that no entry can have
// ("", ".", "..", or with '/' or a NUL byte), or longer than any record, is unreadable,
// wherever it stands. Only the journal's last line, when no line feed ends it, is taken for a
// record cut short when the run was stopped, whose rename never happened, and passed over. A
// mark that an undo took a run back is no record: it is passed over, whichever run's it is.
fault read_records(int fd, const journal_run &run, const run_folders &folders,
                   const std::function<bool(const journal_entry &)> &take);
