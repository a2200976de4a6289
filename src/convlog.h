// The conversion log: every rename, every failed rename and each run's summary. Also what the
// record files share: appending a record whole or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Opens each run's section of the log.
inline constexpr std::string_view log_header =
        "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n";

// Appends `text` to the regular file `fd`, open in append mode, whole or not at all: what a
// failed write left of it is cut off again. 0 or an errno; `torn` is set when a part stayed.
int append_whole(int fd, std::string_view text, bool &torn);

// Cuts the last `length` bytes off the regular file `fd`; false when it can't.
bool cut_last(int fd, std::size_t length);

// Appends `text` to the log, after the run's header if it is the first text of the run that
// reaches the file; a log that can't be opened or written loses the text silently.
void store_log(const std::string &text);

// Appends the line of a rename to the log, after the run's header if that is not in yet: 0 once
// both are in a file that keeps them, else an errno, or -1 when the log is no regular file.
int store_log_line(const std::string &line);

// Takes the last line stored by store_log_line out of the log again: its rename won't happen.
void unstore_log_line(const std::string &line);
