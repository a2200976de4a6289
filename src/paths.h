// The built-in paths that the run and the undo share, fixed when the programs are built, and
// what both say when the lock is held.
#pragma once

// The volume: everything below it that lies inside it is converted.
inline constexpr const char *g_startpath = MAC2CP850_MOUNTPOINT;
// The record folder, which only root may change.
inline constexpr const char *g_recorddir = MAC2CP850_RECORD_DIR;
// The conversion log.
inline constexpr const char *g_logfile = MAC2CP850_RECORD_DIR "/convert.log";
// The journal, which the undo reads.
inline constexpr const char *g_journalfile = MAC2CP850_RECORD_DIR "/convert.journal";
// The statistics file.
inline constexpr const char *g_statfile = MAC2CP850_RECORD_DIR "/runstats.txt";
// The lock file: one run or undo at a time.
inline constexpr const char *g_lockfile = MAC2CP850_RECORD_DIR "/mac2cp850.lock";

// The reason a run or an undo gives when it finds the lock taken.
inline constexpr const char *g_lock_busy = "another run or undo is using the volume";
