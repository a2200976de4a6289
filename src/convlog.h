// The conversion log: every rename, every failed rename and each run's summary.
#pragma once

#include <string>
#include <string_view>

// Opens each run's section of the log.
inline constexpr std::string_view log_header =
        "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n";

// Appends `text` to the log, after the run's header if it is the first text of the run that
// reaches the file; a log that can't be opened loses the text silently.
void store_log(const std::string &text);
