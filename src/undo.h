// Taking back one run: its renames undone from the journal, last first.
#pragma once

#include <cstdint>

#include "journalreader.h"

// What taking a run back came to.
struct undo_counts {
	std::uint64_t reverted = 0;          // renamed back (on a dry run: to be renamed back)
	std::uint64_t already_reverted = 0;  // found under the old name and not the new one
	std::uint64_t missing = 0;           // found under neither name
	std::uint64_t refused = 0;           // not renamed back (on a dry run: would not be)
	std::uint64_t unparseable = 0;       // lines of the run that are no record of it
	std::uint64_t failed_in_run = 0;     // renames that failed in the run: nothing to take back
	fault journal;                       // a read of the journal that failed, stopping the undo
};

// Renames each entry that `run` of the journal open as `journal` renamed back, last first, in
// the folder it reaches from the mount point `mount` through the run's `folders`, never
// replacing an entry; prints and counts each record's outcome. A dry run changes nothing and
// prints what it would do.
undo_counts revert_run(int journal, const journal_run &run, const run_folders &folders,
                       const char *mount, bool dry_run);

// Appends to the journal `name` of folder `dirfd`, which must be the file open as `journal`, the
// mark that `run` is taken back with `counts`, never through a link and only as open_trusted
// allows, after cutting off a record that a stopped run left cut short; whole or not at all.
fault mark_taken_back(int dirfd, const char *name, int journal, const journal_run &run,
                      const undo_counts &counts);
