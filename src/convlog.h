// The conversion log: every rename, every failed rename and each run's summary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Opens each run's section of the log.
inline constexpr std::string_view log_header =
        "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n";

// Appends `text` to the log, after the run's header if it is the first text of the run that
// reaches the file; a log that can't be opened or written loses the text silently.
void store_log(const std::string &text);

// Appends the line of a rename to the log, after the run's header if that is not in yet: 0 once
// both are in a file that keeps them, else an errno, or -1 when the log is no regular file.
int store_log_line(const std::string &line);

// Takes the last line stored by store_log_line out of the log again: its rename won't happen.
void unstore_log_line(const std::string &line);
