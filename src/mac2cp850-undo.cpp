// Takes back one run of the conversion: renames its entries back as its journal records them.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "journal.h"
#include "lock.h"
#include "mac2cp850.h"
#include "recordfolder.h"
#include "undo.h"

// The settings of the program whose runs this takes back: its journal and its mount point are
// used.
const char *const g_startpath = MAC2CP850_MOUNTPOINT;
const char *const g_logfile = MAC2CP850_RECORD_DIR "/convert.log";
const char *const g_journalfile = MAC2CP850_RECORD_DIR "/convert.journal";
const char *const g_statfile = MAC2CP850_RECORD_DIR "/runstats.txt";
const char *const g_lockfile = MAC2CP850_RECORD_DIR "/mac2cp850.lock";

namespace
{

constexpr const char *usage = "usage: mac2cp850-undo [--dry-run] [--journal FILE] [--run N]\n";

void print_help()
{
	std::printf("%s", usage);
	std::printf(
	        "Renames back, last first, the entries that one run of mac2cp850 renamed, as its\n"
	        "journal records them.\n\n"
	        "  --dry-run       print what would be renamed back and what would be refused;\n"
	        "                  change nothing\n"
	        "  --journal FILE  the journal (default: %s)\n"
	        "  --run N         the N-th run from the end (default: 1, the last)\n"
	        "  --help          print this help and exit\n"
	        "  --version       print the version and exit\n",
	        g_journalfile);
}

int usage_error(const char *what, const char *arg)
{
	std::fprintf(stderr, "mac2cp850-undo: %s: %s\n%s", what, arg, usage);
	return 2;
}

// A whole number of at least 1 in decimal digits only; 0 when `text` is not one.
unsigned long long run_number(const char *text)
{
	if (*text < '0' || *text > '9')
		return 0;
	char *end = nullptr;
	errno = 0;
	unsigned long long n = std::strtoull(text, &end, 10);
	if (*end != '\0' || errno != 0)
		return 0;
	return n;
}

}  // namespace

int main(int argc, char **argv)
{
	// A console that went away must not stop an undo half-way.
	(void)signal(SIGPIPE, SIG_IGN);

	bool dry_run = false;
	const char *journal_path = g_journalfile;
	bool journal_given = false;  // the journal is not the record folder's own
	unsigned long long run = 1;
	for (int i = 1; i < argc; i++) {
		std::string_view arg = argv[i];
		if (arg == "--help") {
			print_help();
			return 0;
		}
		if (arg == "--version") {
			std::printf("mac2cp850-undo %s\n", MAC2CP850_VERSION);
			return 0;
		}
		if (arg == "--dry-run") {
			dry_run = true;
			continue;
		}
		// The options with a value take it as "--name=VALUE" or as the next argument.
		std::string_view name = arg.substr(0, arg.find('='));
		if (name != "--journal" && name != "--run")
			return usage_error("unknown argument", argv[i]);
		const char *value = argv[i] + name.size() + 1;
		if (name.size() == arg.size()) {
			if (i + 1 == argc)
				return usage_error("option needs a value", argv[i]);
			value = argv[++i];
		}
		if (name == "--journal") {
			journal_path = value;
			journal_given = true;
		} else if ((run = run_number(value)) == 0) {
			return usage_error("--run needs a whole number of at least 1", value);
		}
	}

	// Nothing is locked or read until the record folder, and the journal's, pass the check: a
	// journal that another user could write would make this rename what she likes.
	trusted_folder record_folder = open_trusted_folder(MAC2CP850_RECORD_DIR, !dry_run);
	if (!record_folder.reason.empty()) {
		std::fprintf(stderr, "mac2cp850-undo: %s\n", record_folder.reason.c_str());
		return 2;
	}
	g_record_fd = record_folder.fd;
	trusted_folder journal_folder = record_folder;
	std::string journal_name = file_name(journal_path);
	if (journal_given) {
		std::string dir = journal_path;
		std::size_t slash = dir.rfind('/');
		dir = slash == std::string::npos ? "."
		                                 : dir.substr(0, std::max<std::size_t>(slash, 1));
		if (journal_name.empty())
			journal_name = ".";
		journal_folder = open_trusted_folder(dir, false);
		if (!journal_folder.reason.empty()) {
			std::fprintf(stderr, "mac2cp850-undo: %s\n", journal_folder.reason.c_str());
			return 2;
		}
	}

	// The lock of the run's own volume, whichever journal is read; a dry run only shares it.
	if (record_folder.fd >= 0) {
		if (std::string why = take_lock(record_folder.fd, g_lockfile, !dry_run);
		    !why.empty()) {
			std::fprintf(stderr, "mac2cp850-undo: %s\n", why.c_str());
			return 2;
		}
	}
	std::string journal;
	std::string why = journal_folder.fd < 0
	                          ? std::strerror(ENOENT)
	                          : read_journal(journal_folder.fd, journal_name.c_str(), journal);
	if (!why.empty()) {
		std::fprintf(stderr, "mac2cp850-undo: %s: %s\n", journal_path, why.c_str());
		return 2;
	}
	std::vector<std::size_t> runs = find_runs(journal);
	if (run > runs.size()) {
		std::fprintf(stderr, "mac2cp850-undo: %s: has %zu runs, no run %llu\n",
		             journal_path, runs.size(), run);
		return 2;
	}
	journal_run records = read_run(journal, runs[runs.size() - run]);
	if (!format_known(records.version)) {
		std::fprintf(stderr, "mac2cp850-undo: %s: run %llu: format not known: %s\n",
		             journal_path, run, records.version.c_str());
		return 2;
	}

	revert_run(records, dry_run);
	std::printf(dry_run ? "dry run: %llu to revert, %llu already reverted, %llu missing, "
	                      "%llu to refuse, %llu unparseable, %llu failed in the run\n"
	                    : "%llu reverted, %llu already reverted, %llu missing, %llu refused, "
	                      "%llu unparseable, %llu failed in the run\n",
	            static_cast<unsigned long long>(g_reverted),
	            static_cast<unsigned long long>(g_already_reverted),
	            static_cast<unsigned long long>(g_missing),
	            static_cast<unsigned long long>(g_refused),
	            static_cast<unsigned long long>(g_unparseable),
	            static_cast<unsigned long long>(g_failed_in_run));
	return g_missing + g_refused + g_unparseable == 0 ? 0 : 1;
}
