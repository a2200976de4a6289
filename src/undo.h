// Taking back one run: its renames undone from the journal, last first.
#pragma once

#include <cstdint>

#include "journalreader.h"

extern std::uint64_t g_reverted;          // renamed back (on a dry run: to be renamed back)
extern std::uint64_t g_already_reverted;  // found under the old name and not the new one
extern std::uint64_t g_missing;           // found under neither name
extern std::uint64_t g_refused;           // not renamed back (on a dry run: would not be)
extern std::uint64_t g_unparseable;       // lines of the run that are no record of it
extern std::uint64_t g_failed_in_run;     // renames that failed in the run: nothing to take back

// Renames each entry that `run` renamed back, last first, in the folder it reaches from the
// mount point `mount` through the folders the run recorded, never replacing an entry; prints
// and counts each record's outcome. A dry run changes nothing and prints what it would do.
void revert_run(const journal_run &run, const char *mount, bool dry_run);
