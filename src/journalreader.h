// The journal's reader: the runs of a journal and their records, for the undo.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fsutil.h"

// A folder of a run as the journal records it; number 0 is the mount point.
struct journal_folder {
	folder_id id;
	file_mark mark;      // none in a journal of format 1
	std::size_t parent;  // number of the folder it was entered from
	std::string name;    // its name there when the run entered it
	bool via_link;       // entered through a symbolic link of that name
};

// One record of a run that the undo acts on or reports.
struct journal_entry {
	enum { renamed, failed, unreadable } kind;
	std::size_t folder;     // renamed, failed: number of the folder the entry is in
	ino_t ino;              // renamed, failed: the entry's inode
	file_mark mark;         // renamed, failed: its mark; none in a journal of format 1
	std::string from, to;   // renamed, failed: its names before and after the run
	std::string_view text;  // unreadable: the line as the journal holds it
};

// One run's records.
struct journal_run {
	std::string version;                  // the format's version; read if format_known
	std::string started;                  // its start, "YYYY-MM-DDThh:mm:ssZ"; "" if not known
	std::vector<journal_folder> folders;  // by number; empty when the run renamed nothing
	std::vector<journal_entry> entries;   // in the order of the run
};

// Whether read_run reads the records of a run of format `version` ("1" or "2").
bool format_known(std::string_view version);

// Reads the whole journal `name` of folder `dirfd`, never through a link, into `out`; refuses a
// file that is not regular ("not a regular file") or that someone other than root or the
// effective user could have written ("owned by user N", "writable by group or others").
fault read_journal(int dirfd, const char *name, std::string &out);

// Offsets in `journal` of the first line of each run, oldest run first; a last line that no
// line feed ends starts none.
std::vector<std::size_t> find_runs(std::string_view journal);

// The records of the run whose first line is at offset `start` of `journal`. Every line that a
// line feed ends and that is no record of it, such as one holding a name that no entry can have
// ("", ".", "..", or with '/' or a NUL byte), is unreadable, wherever it stands; only the
// journal's last line, when no line feed ends it, is taken for a record cut short when the run
// was stopped, whose rename never happened, and passed over.
journal_run read_run(std::string_view journal, std::size_t start);
