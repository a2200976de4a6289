// The journal's format, which its writer and its reader share: a run's first line, then one line
// a record, each starting with the run's id. Names are escaped, so no name can end or forge a
// record.
#pragma once

#include <cstddef>
#include <string_view>

// Starts the first line of each run, followed by the format's version, the run's id and, from
// format 2 on, when it started if the clock could tell; from format 3 on, that time or "-" and
// the volume at the mount point: its mount's source and its UUID, each escaped as a name, or
// "-" for none.
inline constexpr std::string_view journal_magic = "mac2cp850-journal ";
inline constexpr std::string_view journal_version = "3";
// Format 2 had no volume; its runs are still read.
inline constexpr std::string_view journal_unplaced = "2";
// Format 1 had no marks; its runs are still read.
inline constexpr std::string_view journal_unmarked = "1";
// Marks a run as taken back: "<id> u <time or -> <reverted> <already reverted> <missing>
// <refused> <unparseable> <failed in the run>", appended by the undo, in any format.
inline constexpr char journal_taken_back = 'u';
// Longer than any line a run writes: two names of 255 bytes, each byte as three, and numbers.
inline constexpr std::size_t journal_longest_line = 4096;
