// The conversion log: every rename, every failed rename and each run's summary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "fsutil.h"

// Opens each run's section of the log.
inline constexpr std::string_view log_header =
        "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n";

// The log is file `log_file` (its last part) of the checked folder open as `dirfd`; nothing is
// opened until the first text.
void log_start(int dirfd, const std::string &log_file);

// The log's path, as given to log_start.
const std::string &log_path();

// Appends `text` to the log, after the run's header if it is the first text of the run that
// reaches the file; a log that can't be opened or written loses the text silently.
void store_log(const std::string &text);

// Appends the line of a rename to the log, after the run's header if that is not in yet; a
// fault unless both are in a file that keeps them.
fault store_log_line(const std::string &line);

// Takes the last line stored by store_log_line out of the log again: its rename won't happen.
void unstore_log_line(const std::string &line);
