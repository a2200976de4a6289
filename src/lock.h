// One run or undo at a time: a lock on a file of the record folder. Never on the volume, whose
// users could hold a lock there for as long as they like and so stop every run.
#pragma once

// Takes the lock on file `path` for the rest of the process. Exclusive: creates the file (mode
// 0600) and its folder (mode 0700, with its parents) when missing. Shared: only when the file
// exists and can be opened, creating nothing. False only when another process holds the lock
// against this one; a lock file that can't be opened or made is passed over.
bool take_lock(const char *path, bool exclusive);
