// The run's act: each decided name recorded, then given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "decide.h"
#include "fsutil.h"
#include "place.h"

extern std::uint64_t g_withheld;        // entries that kept their names for want of a record
extern std::string g_withheld_file;     // the record file of the first record not written
extern fault g_withheld_fault;          // and why it was not
extern std::uint64_t g_failed_renames;  // renames tried that failed, each with its error logged

// Withholds every rename from now on, for want of record `file`, which `why` keeps from the
// run; nothing is recorded for them.
void withhold_renames(const std::string &file, const fault &why);

// Renames entry `name` (inode `ino`) of the folder open as `dirfd`, the last on the way of `at`,
// to the name `decided` gives it only once its log line and journal record are written in full,
// then records the error of a failed rename and counts it in g_failed_renames; never replaces an
// entry. An entry whose records can't be written keeps its name and is counted in g_withheld.
// Nothing for an entry that keeps its name.
void apply(int dirfd, const place &at, const char *name, ino_t ino, const decision &decided);
