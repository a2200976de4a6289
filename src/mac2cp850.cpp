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
#include "journal.h"
#include "walk.h"

const char *const g_startpath = MAC2CP850_MOUNTPOINT;
const char *const g_logfile = MAC2CP850_RECORD_DIR "/convert.log";
const char *const g_journalfile = MAC2CP850_RECORD_DIR "/convert.journal";
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

int main()
{
	// A console that went away must not stop the run before its log is complete.
	(void)signal(SIGPIPE, SIG_IGN);

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
	// What fails here shows as renames withheld for want of a record.
	(void)make_record_folder();
	(void)journal_open();
	scan_path(g_startpath);
	store_log("\r\nFinished\r\n");

	std::printf("done\r\n");
	if (g_withheld != 0)
		std::printf("Kept their names for want of a record: %llu (%s)\r\n",
		            static_cast<unsigned long long>(g_withheld), g_withheld_reason.c_str());
	if (g_unwalked != 0)
		std::printf("Folders not walked in full for want of file descriptors: %llu\r\n",
		            static_cast<unsigned long long>(g_unwalked));
	std::printf("------------------------------------\r\n\r\n");
	std::printf("ISO-8859-1 filename conversion finished.\r\n");
	std::printf("Stats:\r\n");
	summary("Checked folders:  ", g_folder_counter);
	summary("Checked files:    ", g_file_counter);
	summary("Conversions done: ", g_conversion_counter);
	std::printf("\r\nFor a complete list of all affected files see \"convert.log\".\r\n");
	std::printf("May the Umlaut be with you.\r\n\r\n");
	return g_withheld + g_unwalked == 0 ? 0 : 1;
}
