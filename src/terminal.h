// What either program writes to the console: bytes from outside the program (names, paths,
// journal text, arguments) shown safely on a terminal, and left exact anywhere else.
#pragma once

#include <string>
#include <string_view>

// Appends `text`, bytes from outside the program, to `line`, a line for standard output
// (`fd` 1) or standard error (2): as they stand when that stream is no terminal; on a terminal,
// each byte of a control character (C0, DEL, C1) or of no valid character in the charset of the
// user's locale as \xHH. `charset`, when not nullptr, is the charset `text` is in (a new name's),
// converted to the terminal's where that is another; without, `text` is taken to be in the
// terminal's charset. A backslash stands as itself.
void append_shown(std::string &line, int fd, std::string_view text, const char *charset = nullptr);
