// The journal's writer: the run's record of every rename by folder and entry identity, which
// the undo reads instead of the text log.
#pragma once

#include <sys/types.h>

#include <string>

#include "fsutil.h"
#include "mounts.h"
#include "place.h"

// The journal is file `journal_file` (its last part) of the checked folder open as `dirfd`.
// Opens it and starts this run's records, noting that they are of volume `mounted`; what fails
// is tried again at the first record.
fault journal_start(int dirfd, const std::string &journal_file, const volume &mounted);

// The journal's path, as given to journal_start.
const std::string &journal_path();

// Records that entry `ino`, marked `mark`, of the folder last on the way of `at` is about to be
// renamed from `from` to `to`, after the folders on that way that have no record yet, in one
// write.
fault journal_rename(const place &at, ino_t ino, const file_mark &mark, const char *from,
                     const std::string &to);

// Records that the rename recorded last failed with `err`, as far as the journal can take it.
void journal_failure(int err);
