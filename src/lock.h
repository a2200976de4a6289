// One run or undo at a time: a lock on a file of the record folder. Never on the volume, whose
// users could hold a lock there for as long as they like and so stop every run.
#pragma once

#include <string>

// Why another process holds the lock.
inline constexpr const char *lock_busy = "another run or undo is using the volume";

// Takes the lock on file `path` of the checked folder `dirfd`, never through a link, for the
// rest of the process; "" when taken or passed over, else why the caller must stop: lock_busy,
// or "PATH: " and what is wrong with the file. Exclusive: creates the file (mode 0600) when
// missing; passed over only when the folder can't take a new file, or when no descriptor is
// left. Shared: creates nothing, and passes over a file that can't be opened or locked.
std::string take_lock(int dirfd, const char *path, bool exclusive);
