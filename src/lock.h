// One run or undo at a time: a lock on a file of the record folder. Never on the volume, whose
// users could hold a lock there for as long as they like and so stop every run.
#pragma once

#include "fsutil.h"

// Takes the lock on file `name` of the checked folder `dirfd`, never through a link nor on a
// file that someone other than root or the effective user could change, for the rest of the
// process. Exclusive: creates the file (mode 0600) when missing; a fault when the lock can't be
// had, EWOULDBLOCK when another process holds it. Shared: creates nothing, passes over a file
// that can't be opened or locked, and fails only with EWOULDBLOCK.
fault take_lock(int dirfd, const char *name, bool exclusive);

// Whether take_lock failed with `f` because the folder can take no new file (read-only, full,
// over its quota) or no descriptor is left, rather than for what the lock file is.
bool no_room_for_lock(const fault &f);
