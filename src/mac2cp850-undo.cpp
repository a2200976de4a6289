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
#include "mounts.h"
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
	        "                  last run that renamed anything and is not taken back yet)\n"
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

// Where the journal lies, for the undo to mark a run taken back.
struct journal_place {
	int dir = -1;      // its folder, checked
	std::string name;  // its name there
};

// Checks the record folder and the journal's, takes the lock, opens the journal as `journal`
// and lists its runs into `runs`; false when it can't, after saying why on standard error.
// Nothing is locked or read until the record folder, and the journal's, pass the check: a
// journal that another user could write would make this rename what she likes.
bool read_records(const options &opts, int &journal, std::vector<journal_run> &runs,
                  journal_place *where = nullptr)
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
	if (where != nullptr)
		*where = {journal_dir, journal_name};
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

// The run that the undo takes back without --run, counted from the last: the last that is
// worth taking back and not taken back yet, so that undo after undo walks back in time; 0 when
// there is none.
std::size_t default_run(const std::vector<journal_run> &runs)
{
	for (std::size_t n = 1; n <= runs.size(); n++)
		if (const journal_run &run = runs[runs.size() - n];
		    worth_taking_back(run) && !run.taken_back)
			return n;
	return 0;
}

bool any_worth_taking_back(const std::vector<journal_run> &runs)
{
	return std::any_of(runs.begin(), runs.end(), worth_taking_back);
}

// Volume `v` for people: its source and, when known, its UUID.
std::string volume_shown(FILE *to, const volume &v)
{
	std::string text = v.source.empty() ? "an unknown volume" : shown(to, v.source);
	if (!v.uuid.empty())
		text += " (UUID " + shown(to, v.uuid) + ")";
	return text;
}

// Whether the undo can tell the volume that `run` was made on.
bool placed(const journal_run &run)
{
	return run.placed && (!run.on.source.empty() || !run.on.uuid.empty());
}

// What --list adds to the line of `run`, when there is something to say: the volume it was made
// on, and whether that is not the one at the mount point now, and when it was taken back.
std::string run_notes(const journal_run &run, const volume &now)
{
	std::string notes;
	if (placed(run))
		notes += "  on " + volume_shown(stdout, run.on) +
		         (same_volume(run.on, now) ? "" : ", not mounted now");
	if (run.taken_back)
		notes += "  taken back " + (run.taken_back_at.empty()
		                                    ? std::string("(time not recorded)")
		                                    : shown(stdout, run.taken_back_at));
	return notes;
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
	const volume now = volume_at(g_startpath);
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
		std::printf("%5zu  %-20s  %8zu  %8zu  %10zu%s\n", runs.size() - i, started.c_str(),
		            run.renamed, run.failed, run.unreadable, run_notes(run, now).c_str());
	}
	if (std::size_t n = default_run(runs))
		std::printf("Without --run, the undo takes back run %zu.\n", n);
	else if (any_worth_taking_back(runs))
		std::printf(
		        "Every run that renamed anything is taken back: without --run, the undo "
		        "does nothing.\n");
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

// "; the K runs after it renamed nothing" or "are taken back", when every run after run `n`
// of `runs`, counted from the last, is one of these; "" when one is not.
std::string after_it(const std::vector<journal_run> &runs, unsigned long long n)
{
	std::size_t nothing = 0, back = 0;
	for (std::size_t i = runs.size() - n + 1; i < runs.size(); i++) {
		if (!worth_taking_back(runs[i]))
			nothing++;
		else if (runs[i].taken_back)
			back++;
		else
			return {};
	}
	if (n < 2)
		return {};
	std::string later = std::to_string(n - 1) + (n > 2 ? " runs" : " run");
	if (back == 0)
		return "; the " + later + " after it renamed nothing";
	if (nothing == 0)
		return "; the " + later + " after it " + (n > 2 ? "are" : "is") + " taken back";
	return "; of the " + later + " after it, " + std::to_string(nothing) +
	       " renamed nothing, " + std::to_string(back) + (back > 1 ? " are" : " is") +
	       " taken back";
}

// How an undo came out, besides its counts.
enum class undone {
	failed,    // it could not start, or the journal could not be read
	nothing,   // no run is left to take back
	reverted,  // a run was taken back, or there was none to take
};

// Reads the journal and reverts the run asked for, or by default the last that renamed
// anything and is not taken back yet; names the run first, and after a real undo marks it taken
// back. Says on standard error why what failed did.
undone undo_run(const options &opts, undo_counts &counts)
{
	int journal = -1;
	std::vector<journal_run> runs;
	journal_place where;
	if (!read_records(opts, journal, runs, &where))
		return undone::failed;
	unsigned long long n = opts.run;
	if (n == 0 && runs.empty()) {
		std::printf("mac2cp850-undo: %s holds no runs\n",
		            shown(stdout, opts.journal).c_str());
		return undone::reverted;
	}
	if (n == 0) {
		n = default_run(runs);
		if (n == 0 && any_worth_taking_back(runs)) {
			std::printf(
			        "mac2cp850-undo: every run of %s that renamed anything is taken "
			        "back\n",
			        shown(stdout, opts.journal).c_str());
			return undone::nothing;
		}
		if (n == 0) {
			std::printf("mac2cp850-undo: no run of %s renamed anything\n",
			            shown(stdout, opts.journal).c_str());
			return undone::reverted;
		}
	} else {
		n = std::max(n, 1ull);
		if (n > runs.size()) {
			std::fprintf(stderr, "mac2cp850-undo: %s: has %zu runs, no run %llu\n",
			             shown(stderr, opts.journal).c_str(), runs.size(), n);
			return undone::failed;
		}
	}
	const journal_run &run = runs[runs.size() - n];
	if (!format_known(run.version)) {
		std::fprintf(stderr, "mac2cp850-undo: %s: run %llu: format not known: %s\n",
		             shown(stderr, opts.journal).c_str(), n,
		             shown(stderr, run.version).c_str());
		return undone::failed;
	}
	// Another volume's folders may carry the same identities: nothing of it is touched. The
	// mount table is read only for a run that names its volume.
	if (placed(run)) {
		if (volume now = volume_at(g_startpath); !same_volume(run.on, now)) {
			std::fprintf(
			        stderr,
			        "mac2cp850-undo: run %llu was made on %s, but %s now holds %s\n", n,
			        volume_shown(stderr, run.on).c_str(),
			        shown(stderr, g_startpath).c_str(),
			        volume_shown(stderr, now).c_str());
			return undone::failed;
		}
	}
	// Said first, as the run that the undo chose may not be the one that was expected.
	std::printf("mac2cp850-undo: run %llu of %zu, %s%s%s\n", n, runs.size(),
	            run.started.empty() ? "start not recorded" : "started ",
	            shown(stdout, run.started).c_str(), after_it(runs, n).c_str());
	run_folders folders;
	if (!journal_fault(opts, read_folders(journal, run, folders)))
		return undone::failed;
	note_unmarked(run, folders.folders);
	counts = revert_run(journal, run, folders, g_startpath, opts.dry_run);
	if (!journal_fault(opts, counts.journal)) {
		(void)close(journal);
		return undone::failed;
	}
	fault f;
	if (!opts.dry_run && g_interrupt == 0)
		f = mark_taken_back(where.dir, where.name.c_str(), journal, run, counts);
	(void)close(journal);
	if (f)
		std::fprintf(stderr, "mac2cp850-undo: %s: can't mark run %llu taken back: %s\n",
		             shown(stderr, opts.journal).c_str(), n,
		             shown(stderr, fault_text(f, false)).c_str());
	return undone::reverted;
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
	undone how = undo_run(opts, counts);
	if (how == undone::failed)
		return 2;
	if (how == undone::nothing)
		return 0;
	// A run taken back whose mark can't be written is back all the same: the status tells the
	// volume's state, not the journal's.
	int status = report(opts, counts);
	if (g_interrupt == 0)
		return status;
	std::fprintf(stderr, "mac2cp850-undo: interrupted: run it again to take back the rest\n");
	return 128 + g_interrupt;
}
