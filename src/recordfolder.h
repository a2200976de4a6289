// The record folder and the table: used only when no one but root, or the user who runs the
// program, can change them or any folder on their way, so that no other user can plant or swap
// a record file or the table.
#pragma once

#include <initializer_list>
#include <string>

#include "fsutil.h"

// Opens folder `path` (relative to the working folder, or absolute) when it and every folder
// above it are owned by root or the effective user, it is writable by no one else, and a folder
// above it is writable by group or others only when sticky; none of them may lie on a mount that
// a user made (FUSE, or a user's "user_id=") or that this process's mount table does not list,
// and none is taken when that table can't be read. Links on the way are followed only when
// owned by root or that user, at most 40. With `make`, missing folders are made (mode 0700) and
// then checked; without, nothing is made. The folder's descriptor, or -1 with `why` naming the
// folder at fault ("PATH: owned by user N") and, where a call failed, its errno in `why.err`
// (EACCES: this user can't look there); `why` stays empty when the folder or one above it is
// missing and not to be made.
int open_trusted_folder(const std::string &path, bool make, fault &why);

// Opens regular file `path` for reading, never through a link, when it is owned by root or the
// effective user, writable by no one else, on no mount a user made, and its folder passes the
// check of the folders above the record folder (so a sticky one serves); the descriptor, or -1
// with `why` saying why (an errno, "not a regular file", "owned by user N", "PATH: ...").
int open_trusted_file(const std::string &path, fault &why);

// Why one of the record files `paths` (in the folder open as `dirfd`, which passed the check) is
// none of the program's own: owned by another user, writable by group or others, with another
// name, or with something mounted on it; the first such, and how to remove a file that is no
// mount. A missing file, and a link owned by root or the effective user, pass.
fault check_record_files(int dirfd, std::initializer_list<const char *> paths);
