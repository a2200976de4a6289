// What every writer of the journal shares: the time as the journal holds it, and the journal's
// end made ready for a line of its own.
#pragma once

#include <sys/types.h>

#include <string>

// Now in UTC as "YYYY-MM-DDThh:mm:ssZ", or "" when the clock can't tell.
std::string journal_time();

// Readies the journal open as `fd` for reading and writing, `size` bytes long, for a new line:
// a last line that a stopped run left cut short is cut off, as its rename never happened and
// the new line's line feed would make it read as a record; any other last line that no line
// feed ends, or one that can't be cut, gets a line feed put in `text` ahead of the new line.
void end_cut_line(int fd, off_t size, std::string &text);
