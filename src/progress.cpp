#include "progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

namespace
{

// The line is brought up to date at most this often, and the clock is read only every this
// many entries, so that it costs the walk nothing to speak of.
constexpr long interval_ns = 250'000'000;
constexpr std::uint64_t every = 64;

bool on;               // standard error is a terminal: the walk shows its progress there
bool shown;            // the line is on the terminal, after the saved cursor
unsigned output_line;  // columns that standard output's line takes when the walk starts
unsigned at;           // the column where the line starts
timespec start;        // when the walk began
timespec last;         // when the line was last brought up to date

long long elapsed_ns(const timespec &from, const timespec &to)
{
	return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

// Whether standard output writes to the same terminal as standard error.
bool output_on_progress_terminal()
{
	struct stat out;
	struct stat err;
	if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0)
		return false;
	return isatty(STDOUT_FILENO) != 0 && S_ISCHR(out.st_mode) && S_ISCHR(err.st_mode) &&
	       out.st_rdev == err.st_rdev;
}

// Writes the line where the cursor stood when it was first shown (saved with ESC 7, restored
// with ESC 8 and the rest of the line erased), so that it stays on one line, after whatever
// the console shows there. A line that wrapped would scroll the terminal away from the saved
// cursor: it is kept short of the terminal's last column, read anew each time so that a
// resize is followed, by leaving out its last parts, all of them where not even the first fits.
void show(const timespec &now, std::uint64_t entries, std::uint64_t folders,
          std::uint64_t conversions)
{
	last = now;
	winsize size{};
	unsigned columns = 80;  // what a terminal that tells no size most likely has
	if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col != 0)
		columns = size.ws_col;
	std::size_t room = columns > at + 1 ? columns - at - 1 : 0;
	long long seconds = elapsed_ns(start, now) / 1'000'000'000LL;
	const std::string parts[] = {
	        "entries: " + std::to_string(entries),
	        "  folders: " + std::to_string(folders),
	        "  conversions: " + std::to_string(conversions),
	        "  " + std::to_string(seconds / 60) + (seconds % 60 < 10 ? ":0" : ":") +
	                std::to_string(seconds % 60),
	};
	std::string line;
	for (const std::string &part : parts) {
		if (line.size() + part.size() > room)
			break;
		line += part;
	}
	if (line.empty()) {
		progress_hide();
		return;
	}
	std::string text = shown ? "\0338\033[K" : "\0337";
	text += line;
	(void)write(STDERR_FILENO, text.data(), text.size());
	shown = true;
}

}  // namespace

void progress_after(unsigned columns)
{
	output_line = columns;
}

void progress_start(std::uint64_t entries, std::uint64_t folders, std::uint64_t conversions)
{
	on = isatty(STDERR_FILENO) != 0;
	if (!on)
		return;
	at = output_on_progress_terminal() ? output_line : 0;
	(void)clock_gettime(CLOCK_MONOTONIC, &start);
	show(start, entries, folders, conversions);
}

void progress_tick(std::uint64_t entries, std::uint64_t folders, std::uint64_t conversions)
{
	if (!on || entries % every != 0)
		return;
	timespec now;
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	if (elapsed_ns(last, now) >= interval_ns)
		show(now, entries, folders, conversions);
}

void progress_hide()
{
	if (!shown)
		return;
	(void)write(STDERR_FILENO, "\0338\033[K", 5);
	shown = false;
}
