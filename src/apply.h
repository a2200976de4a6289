// The run's act: each decided name recorded, then given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "decide.h"
#include "fsutil.h"
#include "place.h"

// What a run's renames came to, kept by its owner for the walk's length.
struct apply_context {
	std::uint64_t withheld = 0;        // entries that kept their names for want of a record
	std::string withheld_file;         // the record file of the first record not written
	fault withheld_fault;              // and why it was not
	std::uint64_t failed_renames = 0;  // renames tried that failed, each with its error logged
	std::string unrecorded_file;  // not empty: every rename is withheld for want of this record
	fault unrecorded_why;         // and why it can't be had
	std::string line;             // the log line of the rename at hand; capacity kept
};

// Withholds every rename of `c` from now on, for want of record `file`, which `why` keeps from
// the run; nothing is recorded for them.
void withhold_renames(apply_context &c, const std::string &file, const fault &why);

// Renames entry `name` (inode `ino`) of the folder open as `dirfd`, the last on the way of `at`,
// to the name `decided` gives it only once its log line and journal record are written in full,
// then records the error of a failed rename and counts it in the apply_context `context`; never
// replaces an entry. An entry whose records can't be written keeps its name and is counted as
// withheld. Nothing for an entry that keeps its name.
void apply(void *context, int dirfd, const place &at, const char *name, ino_t ino,
           const decision &decided);
