// Built-in settings of a run, fixed when the program is built.
#pragma once

extern const char *const g_startpath;    // root of the walk: the volume's mount point
extern const char *const g_logfile;      // append-only conversion log
extern const char *const g_journalfile;  // append-only journal of renames, read by the undo
extern const char *const g_statfile;     // progress snapshot, rewritten during the walk
extern const char *const g_lockfile;     // locked by a run or an undo for as long as it works
