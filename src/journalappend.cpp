#include "journalappend.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string_view>

#include "journalformat.h"
#include "recordfile.h"

namespace
{

// The length of the last line of the journal open as `fd`, `size` bytes long, when no line feed
// ends it and it begins as a run's line does, as a record or a run's first line: one cut short
// by a run stopped while writing it. 0 when a line feed ends the file, or for what no run writes.
std::size_t cut_short(int fd, off_t size)
{
	std::string tail(static_cast<std::size_t>(std::min<off_t>(size, journal_longest_line)),
	                 '\0');
	auto from = size - static_cast<off_t>(tail.size());
	if (pread(fd, tail.data(), tail.size(), from) != static_cast<ssize_t>(tail.size()))
		return 0;
	std::size_t newline = tail.rfind('\n');
	if (newline == std::string::npos && from > 0)
		return 0;
	std::string_view line = std::string_view(tail).substr(newline + 1);
	bool first_line =
	        line.substr(0, journal_magic.size()) == journal_magic.substr(0, line.size());
	for (std::size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		// A record starts with its run's id, 16 lower-case hex digits, and a blank.
		bool id = i > 16 || first_line ||
		          (i == 16 ? c == ' ' : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
		if (!id || c < ' ' || c > '~')
			return 0;
	}
	return line.size();
}

}  // namespace

std::string journal_time()
{
	time_t now = time(nullptr);
	struct tm utc {
	};
	char text[32];
	if (now == static_cast<time_t>(-1) || gmtime_r(&now, &utc) == nullptr)
		return {};
	std::size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
	// A year beyond four digits would not be read back.
	if (n != 20)
		return {};
	return {text, n};
}

void end_cut_line(int fd, off_t size, std::string &text)
{
	char last = '\n';
	if (size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n') {
		std::size_t cut = cut_short(fd, size);
		if (cut == 0 || cut_last(fd, cut))
			text += '\n';
	}
}
