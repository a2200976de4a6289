// Takes back one run of the conversion: renames its entries back as its journal records them.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cmdline.h"
#include "interrupt.h"
#include "journalreader.h"
#include "lock.h"
#include "paths.h"
#include "recordfolder.h"
#include "terminal.h"
#include "undo.h"

namespace
{

constexpr int go_on = -2;  // read_options: no reason to stop before the undo

// What the command line asks for.
struct options {
	bool dry_run = false;
	bool list = false;  // list the runs, take none back
	const char *journal = g_journalfile;
	bool journal_given = false;  // the journal is not the record folder's own
	unsigned long long run = 0;  // counted from the last, which is 1; 0: the last that renamed
};

constexpr const char *usage =
        "usage: mac2cp850-undo [-n | --dry-run] [--journal FILE] [--run N | --list]\n";

// `text`, from outside the program (an argument, a path, the journal), as stream `to` may show
// it.
std::string shown(FILE *to, std::string_view text)
{
	std::string out;
	append_shown(out, fileno(to), text);
	return out;
}

void print_help()
{
	std::printf("%s", usage);
	std::printf(
	        "Renames back, last first, the entries that one run of mac2cp850 renamed, as its\n"
	        "journal records them.\n\n"
	        "  -n, --dry-run   print what would be renamed back and what would be refused;\n"
	        "                  change nothing\n"
	        "  --journal FILE  the journal (default: %s)\n"
	        "  --run N         the N-th run from the end, 1 being the last (default: the\n"
	        "                  last run that renamed anything)\n"
	        "  --list          list the journal's runs, numbered as --run takes them;\n"
	        "                  change nothing\n"
	        "  --help          print this help and exit\n"
	        "  --version       print the version and exit\n\n"
	        "On a terminal, each byte of a name, a path or a line of the journal that is a\n"
	        "control character or no character of the locale's charset shows as \\xHH.\n",
	        g_journalfile);
}

int usage_error(const char *what, const char *arg)
{
	std::fprintf(stderr, "mac2cp850-undo: %s: %s\n%s", what, shown(stderr, arg).c_str(), usage);
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

// Reads the command line into `opts`; go_on, or the exit status to stop with.
int read_options(int argc, char **argv, options &opts)
{
	for (int i = 1; i < argc; i++) {
		argument arg;
		if (!read_argument(argc, argv, i, {"--journal", "--run"}, arg))
			return usage_error("option needs a value", argv[i]);
		if (arg.name == "--help") {
			print_help();
			return 0;
		}
		if (arg.name == "--version") {
			std::printf("mac2cp850-undo %s\n", MAC2CP850_VERSION);
			return 0;
		}
		if (arg.name == "--dry-run" || arg.name == "-n") {
			opts.dry_run = true;
		} else if (arg.name == "--list") {
			opts.list = true;
		} else if (arg.name == "--journal") {
			opts.journal = arg.value;
			opts.journal_given = true;
		} else if (arg.name == "--run") {
			if ((opts.run = run_number(arg.value)) == 0)
				return usage_error("--run needs a whole number of at least 1",
				                   arg.value);
		} else {
			return usage_error("unknown argument", argv[i]);
		}
	}
	return go_on;
}

// False when `f`, a failure to open or read the journal, after saying so on standard error.
bool journal_fault(const options &opts, const fault &f)
{
	if (!f)
		return true;
	std::fprintf(stderr, "mac2cp850-undo: %s: %s\n", shown(stderr, opts.journal).c_str(),
	             shown(stderr, fault_text(f, false)).c_str());
	return false;
}

// Checks the record folder and the journal's, takes the lock, opens the journal as `journal`
// and lists its runs into `runs`; false when it can't, after saying why on standard error.
// Nothing is locked or read until the record folder, and the journal's, pass the check: a
// journal that another user could write would make this rename what she likes.
bool read_records(const options &opts, int &journal, std::vector<journal_run> &runs)
{
	// Only what changes the volume makes the record folder or takes the lock alone.
	const bool changes = !opts.dry_run && !opts.list;
	fault refused;
	int records = open_trusted_folder(g_recorddir, changes, refused);
	if (refused) {
		std::fprintf(stderr, "mac2cp850-undo: %s\n", shown(stderr, refused.why).c_str());
		return false;
	}
	int journal_dir = records;
	std::string journal_name = file_name(opts.journal);
	if (opts.journal_given) {
		std::string dir = opts.journal;
		std::size_t slash = dir.rfind('/');
		dir = slash == std::string::npos ? "."
		                                 : dir.substr(0, std::max<std::size_t>(slash, 1));
		if (journal_name.empty())
			journal_name = ".";
		journal_dir = open_trusted_folder(dir, false, refused);
		if (refused) {
			std::fprintf(stderr, "mac2cp850-undo: %s\n",
			             shown(stderr, refused.why).c_str());
			return false;
		}
	}

	// The lock of the run's own volume, whichever journal is read; a dry run only shares it.
	// Another user's record file tells that the folder was open to her: none is used.
	if (records >= 0) {
		if (fault f = check_record_files(
		            records, {g_logfile, g_journalfile, g_statfile, g_lockfile})) {
			std::fprintf(stderr, "mac2cp850-undo: %s\n", shown(stderr, f.why).c_str());
			return false;
		}
		if (fault f = take_lock(records, file_name(g_lockfile), changes)) {
			std::string why = f.err == EWOULDBLOCK ? g_lock_busy
			                                       : std::string(g_lockfile) + ": " +
			                                                 fault_text(f, false);
			std::fprintf(stderr, "mac2cp850-undo: %s\n", shown(stderr, why).c_str());
			return false;
		}
	}
	fault f = journal_dir < 0 ? fault{ENOENT, {}} : fault{};
	if (!f)
		journal = open_journal(journal_dir, journal_name.c_str(), f);
	if (!f)
		f = list_runs(journal, runs);
	return journal_fault(opts, f);
}

// Whether the undo must look at `run` rather than pass over it for an earlier one: it renamed
// something, or may have, as far as its records can tell.
bool worth_taking_back(const journal_run &run)
{
	return !format_known(run.version) || run.renamed + run.unreadable != 0;
}

// The run that the undo takes back without --run, counted from the last; 0 when none renamed
// anything.
std::size_t default_run(const std::vector<journal_run> &runs)
{
	for (std::size_t n = 1; n <= runs.size(); n++)
		if (worth_taking_back(runs[runs.size() - n]))
			return n;
	return 0;
}

// Prints one line per run of `journal`, oldest first, numbered as --run takes them, then the
// one that the undo takes back without --run.
bool list_runs(const options &opts)
{
	int journal = -1;
	std::vector<journal_run> runs;
	if (!read_records(opts, journal, runs))
		return false;
	(void)close(journal);
	if (runs.empty()) {
		std::printf("mac2cp850-undo: %s holds no runs\n",
		            shown(stdout, opts.journal).c_str());
		return true;
	}
	std::printf("%5s  %-20s  %8s  %8s  %10s\n", "run", "started", "renamed", "failed",
	            "unreadable");
	for (std::size_t i = 0; i < runs.size(); i++) {
		const journal_run &run = runs[i];
		std::string started = run.started.empty() ? "none" : shown(stdout, run.started);
		if (!format_known(run.version)) {
			std::printf("%5zu  %-20s  format not known: %s\n", runs.size() - i,
			            started.c_str(), shown(stdout, run.version).c_str());
			continue;
		}
		std::printf("%5zu  %-20s  %8zu  %8zu  %10zu\n", runs.size() - i, started.c_str(),
		            run.renamed, run.failed, run.unreadable);
	}
	if (std::size_t n = default_run(runs))
		std::printf("Without --run, the undo takes back run %zu.\n", n);
	else
		std::printf("No run renamed anything: without --run, the undo does nothing.\n");
	return true;
}

// Says how many of the renames that `run` recorded, and of its folders, have no mark, so that
// the undo tells them by their inode numbers alone: a file made since the run that took over
// one of those numbers would pass for the entry. Nothing when each has one.
void note_unmarked(const journal_run &run, const std::vector<journal_folder> &folders)
{
	auto unmarked = static_cast<std::size_t>(
	        std::count_if(folders.begin(), folders.end(),
	                      [](const journal_folder &f) { return f.mark.kind == '-'; }));
	if (run.renamed != 0 && run.unmarked + unmarked != 0)
		std::printf(
		        "mac2cp850-undo: %zu of %zu renames and %zu of %zu folders have no mark: "
		        "they are known by their inode number alone\n",
		        run.unmarked, run.renamed, unmarked, folders.size());
}

// Reads the journal and reverts the run asked for, or by default the last that renamed
// anything, which it names first; false when it can't, after saying why on standard error.
bool undo_run(const options &opts, undo_counts &counts)
{
	int journal = -1;
	std::vector<journal_run> runs;
	if (!read_records(opts, journal, runs))
		return false;
	unsigned long long n = opts.run;
	if (n == 0 && runs.empty()) {
		std::printf("mac2cp850-undo: %s holds no runs\n",
		            shown(stdout, opts.journal).c_str());
		return true;
	}
	if (n == 0) {
		n = default_run(runs);
		if (n == 0) {
			std::printf("mac2cp850-undo: no run of %s renamed anything\n",
			            shown(stdout, opts.journal).c_str());
			return true;
		}
	} else {
		n = std::max(n, 1ull);
		if (n > runs.size()) {
			std::fprintf(stderr, "mac2cp850-undo: %s: has %zu runs, no run %llu\n",
			             shown(stderr, opts.journal).c_str(), runs.size(), n);
			return false;
		}
	}
	const journal_run &run = runs[runs.size() - n];
	if (!format_known(run.version)) {
		std::fprintf(stderr, "mac2cp850-undo: %s: run %llu: format not known: %s\n",
		             shown(stderr, opts.journal).c_str(), n,
		             shown(stderr, run.version).c_str());
		return false;
	}
	// Said first, as the run that the undo chose may not be the one that was expected.
	if (opts.run == 0) {
		std::printf("mac2cp850-undo: run %llu of %zu, %s%s", n, runs.size(),
		            run.started.empty() ? "start not recorded" : "started ",
		            shown(stdout, run.started).c_str());
		if (n > 1)
			std::printf("; the %llu %s after it renamed nothing", n - 1,
			            n > 2 ? "runs" : "run");
		std::printf("\n");
	}
	run_folders folders;
	if (!journal_fault(opts, read_folders(journal, run, folders)))
		return false;
	note_unmarked(run, folders.folders);
	counts = revert_run(journal, run, folders, g_startpath, opts.dry_run);
	(void)close(journal);
	return journal_fault(opts, counts.journal);
}

int report(const options &opts, const undo_counts &counts)
{
	std::printf(opts.dry_run
	                    ? "dry run: %llu to revert, %llu already reverted, %llu missing, "
	                      "%llu to refuse, %llu unparseable, %llu failed in the run\n"
	                    : "%llu reverted, %llu already reverted, %llu missing, %llu refused, "
	                      "%llu unparseable, %llu failed in the run\n",
	            static_cast<unsigned long long>(counts.reverted),
	            static_cast<unsigned long long>(counts.already_reverted),
	            static_cast<unsigned long long>(counts.missing),
	            static_cast<unsigned long long>(counts.refused),
	            static_cast<unsigned long long>(counts.unparseable),
	            static_cast<unsigned long long>(counts.failed_in_run));
	return counts.missing + counts.refused + counts.unparseable == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
	options opts;
	if (int status = read_options(argc, argv, opts); status != go_on)
		return status;
	// A console that went away must not stop an undo half-way.
	(void)signal(SIGPIPE, SIG_IGN);
	catch_interrupts();
	if (opts.list)
		return list_runs(opts) ? 0 : 2;
	undo_counts counts;
	if (!undo_run(opts, counts))
		return 2;
	int status = report(opts, counts);
	if (g_interrupt == 0)
		return status;
	std::fprintf(stderr, "mac2cp850-undo: interrupted: run it again to take back the rest\n");
	return 128 + g_interrupt;
}
