// Taking back one run: its renames undone from the conversion log, last first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One line of a run's section of the log.
struct undo_line {
	enum { renamed, failed, unparseable, ambiguous } kind;
	std::string_view old_path;  // renamed, failed: the entry's path before the run
	std::string_view new_path;  // renamed, failed: the path the run gave it
	std::string_view text;      // unparseable, ambiguous: the line as the log holds it
};

extern std::uint64_t g_reverted;          // renamed back (on a dry run: to be renamed back)
extern std::uint64_t g_already_reverted;  // found under the old name and not the new one
extern std::uint64_t g_missing;           // found under neither name
extern std::uint64_t g_refused;           // not renamed back (on a dry run: would not be)
extern std::uint64_t g_unparseable;       // lines not read as exactly one rename of the run
extern std::uint64_t g_failed_in_run;     // renames logged with an error: nothing to take back

// Reads the whole regular file `path` into `out`; 0, an errno, or -1 for a file of another type.
int read_log(const char *path, std::string &out);

// Offsets in `log` where the conversion lines of each run begin, oldest run first.
std::vector<std::size_t> find_runs(std::string_view log);

// The lines of the run whose conversion lines begin at offset `body` of `log`, in log order.
std::vector<undo_line> read_run(std::string_view log, std::size_t body);

// Renames each renamed entry of `lines` back, last first, never replacing an entry, and prints
// and counts each line's outcome; a dry run changes nothing and prints what it would do.
void revert_run(const std::vector<undo_line> &lines, bool dry_run);
