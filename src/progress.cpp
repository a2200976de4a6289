#include "progress.h"

#include <unistd.h>

#include <ctime>
#include <string>

namespace
{

// The line is brought up to date at most this often, and the clock is read only every this
// many entries, so that it costs the walk nothing to speak of.
constexpr long interval_ns = 250'000'000;
constexpr std::uint64_t every = 64;

bool on;          // standard error is a terminal: the walk shows its progress there
bool shown;       // the line is on the terminal, after the saved cursor
timespec start;   // when the walk began
timespec last;    // when the line was last brought up to date

long long elapsed_ns(const timespec &from, const timespec &to)
{
	return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

// Writes the line where the cursor stood when it was first shown (saved with ESC 7, restored
// with ESC 8 and the rest of the line erased), so that it stays on one line, after whatever
// the console shows there.
void show(const timespec &now, std::uint64_t entries, std::uint64_t folders,
          std::uint64_t conversions)
{
	long long seconds = elapsed_ns(start, now) / 1'000'000'000LL;
	std::string text = shown ? "\0338\033[K" : "\0337";
	text += "entries: " + std::to_string(entries);
	text += "  folders: " + std::to_string(folders);
	text += "  conversions: " + std::to_string(conversions);
	text += "  " + std::to_string(seconds / 60) + (seconds % 60 < 10 ? ":0" : ":");
	text += std::to_string(seconds % 60);
	(void)write(STDERR_FILENO, text.data(), text.size());
	shown = true;
	last = now;
}

}  // namespace

void progress_start(std::uint64_t entries, std::uint64_t folders, std::uint64_t conversions)
{
	on = isatty(STDERR_FILENO) != 0;
	if (!on)
		return;
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
