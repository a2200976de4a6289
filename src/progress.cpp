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
bool shown;            // the line is on the terminal, the cursor where it starts
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

// Whether standard output goes to another process, through a pipe or a socket: one such as tee
// writes to the terminal when it likes, which no line of ours can be ordered with.
bool output_to_a_process()
{
	struct stat out;
	return fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode));
}

// Writes the line where the cursor stood when it was first shown, after whatever the console
// shows there, and leaves the cursor at the line's start again (ESC [nD), from where the next
// update or progress_hide erases to the end of the screen (ESC [J) before it writes. So no
// resize can make it leave anything behind, and none needs watching for: a terminal that
// reflows its lines on a resize (tmux, VTE) carries the cursor with the text it stands in, and
// the line, now over more rows, all follows it; one that cuts them (xterm) keeps the cursor on
// its row, and a line cut short still starts there. A cursor saved with ESC 7 would not do:
// tmux restores it to the row and column it was saved at, which after a reflow lie in the
// middle of the line or past it, so that erasing from there left the line's first part on the
// screen. Only a terminal that cuts lines, made narrower than the console's text before the
// line, moves the cursor off the line's start. The line is kept short of the terminal's last
// column, read anew each time, by leaving out its last parts, all of them where not even the
// first fits, so that it never wraps as it is written.
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
	std::string text = shown ? "\033[J" : "";
	text += line;
	text += "\033[" + std::to_string(line.size()) + "D";
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
	on = isatty(STDERR_FILENO) != 0 && !output_to_a_process();
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
	(void)write(STDERR_FILENO, "\033[J", 3);
	shown = false;
}
