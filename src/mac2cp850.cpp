// Renames every entry below the mount point whose name carries Macintosh colon escapes, and
// reports the run on the console, in the conversion log and in the statistics file.
#include "mac2cp850.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "convert.h"
#include "convlog.h"
#include "readahead.h"
#include "walk.h"

const char *const g_startpath = MAC2CP850_MOUNTPOINT;
const char *const g_logfile = MAC2CP850_RECORD_DIR "/convert.log";
const char *const g_statfile = MAC2CP850_RECORD_DIR "/runstats.txt";

namespace
{

// Formats one summary line, prints it, and appends it to the log.
void summary(const char *label, std::uint64_t count)
{
	std::string line = label + std::to_string(count) + "\r\n";
	std::printf("%s", line.c_str());
	store_log(line);
}

// A number of threads from 0 to readahead_max_threads in decimal digits only; -1 otherwise.
int thread_count(const char *text)
{
	int n = 0;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9' || n > static_cast<int>(readahead_max_threads))
			return -1;
		n = n * 10 + (*p - '0');
	}
	return *text == '\0' || n > static_cast<int>(readahead_max_threads) ? -1 : n;
}

}  // namespace

int main(int argc, char **argv)
{
	// A console that went away must not stop the run before its log is complete.
	(void)signal(SIGPIPE, SIG_IGN);
#ifdef MAC2CP850_READAHEAD_AT_ONCE
	g_readahead_at_once = true;  // the tests' copy: every run with the read-ahead on
#endif
	// Other arguments are ignored.
	for (int i = 1; i < argc; i++) {
		if (std::strcmp(argv[i], "--read-ahead") != 0)
			continue;
		int n = i + 1 < argc ? thread_count(argv[++i]) : -1;
		if (n < 0) {
			std::fprintf(stderr,
			             "mac2cp850: --read-ahead needs a number of threads from 0 to "
			             "%u\nusage: mac2cp850 [--read-ahead N]\n",
			             readahead_max_threads);
			return 2;
		}
		g_readahead_threads = static_cast<unsigned>(n);
	}

	std::printf("------------------------------------\r\n");
	std::printf("Codepage 850 filename conversion\r\n");
	std::printf("Init...\r\n");
	std::printf("Reading mac2cp850.tab...");
	(void)std::fflush(stdout);

	if (int err = load_table("mac2cp850.tab"); err != 0) {
		std::printf("FAILED %i %s\r\n", err, std::strerror(err));
		return -1;
	}
	std::printf("ok.\r\n");
	std::printf("Success.\r\n");
	std::printf("------------------------------------\r\n\r\n");

	std::printf("Mountpoint is %s\r\n", g_startpath);
	std::printf("Accessing...");
	(void)std::fflush(stdout);
	scan_path(g_startpath);
	store_log("\r\nFinished\r\n");

	std::printf("done\r\n");
	std::printf("------------------------------------\r\n\r\n");
	std::printf("ISO-8859-1 filename conversion finished.\r\n");
	std::printf("Stats:\r\n");
	summary("Checked folders:  ", g_folder_counter);
	summary("Checked files:    ", g_file_counter);
	summary("Conversions done: ", g_conversion_counter);
	std::printf("\r\nFor a complete list of all affected files see \"convert.log\".\r\n");
	std::printf("May the Umlaut be with you.\r\n\r\n");
	return 0;
}
