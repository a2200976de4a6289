// One run or undo at a time: a lock on a file of the record folder. Never on the volume, whose
// users could hold a lock there for as long as they like and so stop every run.
#pragma once

#include "fsutil.h"

// Takes the lock on file `name` of the checked folder `dirfd`, never through a link, for the
// rest of the process; a fault when the caller must stop: EWOULDBLOCK when another process
// holds it, else what is wrong with the file. Exclusive: creates the file (mode 0600) when
// missing; passed over only when the folder can't take a new file, or when no descriptor is
// left. Shared: creates nothing, and passes over a file that can't be opened or locked.
fault take_lock(int dirfd, const char *name, bool exclusive);
