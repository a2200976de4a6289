// The walk's progress on the terminal: one line on standard error, when that is a terminal and
// standard output goes to no other process, after what the console shows there.
#pragma once

#include <cstdint>

// Standard output's line takes `columns` columns when the walk starts: on a terminal that both
// share, the progress line follows them.
void progress_after(unsigned columns);

// Starts the clock and shows the line with the counts, if standard error is a terminal and
// standard output neither a pipe nor a socket.
void progress_start(std::uint64_t entries, std::uint64_t folders, std::uint64_t conversions);

// Brings the line up to date with the counts, at most every quarter of a second.
void progress_tick(std::uint64_t entries, std::uint64_t folders, std::uint64_t conversions);

// Takes the line off the terminal until its next update, so that a line printed to the
// console stands on its own.
void progress_hide();
