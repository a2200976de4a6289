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

}  // namespace

int main(int argc, char **argv)
{
	// A console that went away must not stop the run before its log is complete.
	(void)signal(SIGPIPE, SIG_IGN);

	for (int i = 1; i < argc; i++)
		if (std::strcmp(argv[i], "--transliterate") == 0)
			g_transliterate = true;

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
	if (g_transliterate) {
		std::printf("Reading mac2cp850.translit...");
		(void)std::fflush(stdout);
		if (std::string why = load_translit("mac2cp850.translit"); !why.empty()) {
			std::printf("FAILED %s\r\n", why.c_str());
			return -1;
		}
		std::printf("ok.\r\n");
	}
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
