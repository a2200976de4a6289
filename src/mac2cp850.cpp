// Renames every entry below the mount point whose name carries Macintosh colon escapes, and
// reports the run on the console, in the conversion log and in the statistics file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "apply.h"
#include "charsetnames.h"
#include "cmdline.h"
#include "convlog.h"
#include "decide.h"
#include "interrupt.h"
#include "journalwriter.h"
#include "lock.h"
#include "mounts.h"
#include "paths.h"
#include "preview.h"
#include "progress.h"
#include "readahead.h"
#include "recordfolder.h"
#include "runstats.h"
#include "terminal.h"
#include "walk.h"

namespace
{

// Where an installation of this build puts the table, for a run that finds none in the working
// folder.
const char *const g_installed_table = MAC2CP850_DATADIR "/mac2cp850.tab";

constexpr const char *usage =
        "usage: mac2cp850 [--dry-run | -n] [--transliterate | [--from CHARSET] [--to CHARSET]]\n"
        "                 [--table FILE] [--read-ahead N]\n"
        "       mac2cp850 --help | --version\n";
constexpr int go_on = -2;  // read_options: no reason to stop before the run

#ifdef MAC2CP850_READAHEAD_AT_ONCE
constexpr bool readahead_at_once = true;  // the tests' copy: every walk with the read-ahead on
#else
constexpr bool readahead_at_once = false;
#endif

// What the command line asks for.
struct options {
	bool dry_run = false;
	bool transliterate = false;  // escapes the table keeps take their transliterations
	const char *from = nullptr;  // the volume's Mac charset, with --from; nullptr: MACINTOSH
	const char *to = nullptr;  // the charset names are converted to, with --to; nullptr: CP850
	const char *table = nullptr;  // the table file, with --table; nullptr: the working folder's
	std::string translit = "mac2cp850.translit";  // the transliterations, beside the table
	walk_settings walk{g_startpath, nullptr, readahead_default_threads, readahead_at_once,
	                   &g_interrupt};
};

// The table installed with this program: PREFIX/share/mac2cp850/mac2cp850.tab for a program in
// PREFIX/sbin, where that file is, since a package may be built for another prefix than the
// one configured; else the configured one.
std::string installed_table()
{
	std::string exe(256, '\0');
	ssize_t n;
	while ((n = readlink("/proc/self/exe", exe.data(), exe.size())) ==
	       static_cast<ssize_t>(exe.size()))
		exe.resize(2 * exe.size());
	exe.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
	std::size_t bin = exe.rfind('/');
	std::size_t prefix =
	        bin == std::string::npos || bin == 0 ? std::string::npos : exe.rfind('/', bin - 1);
	if (prefix != std::string::npos) {
		std::string table = exe.substr(0, prefix) + "/share/mac2cp850/mac2cp850.tab";
		if (access(table.c_str(), F_OK) == 0)
			return table;
	}
	return g_installed_table;
}

void print_help()
{
	std::printf("%s", usage);
	std::printf(
	        "Renames every file and folder below the mount point whose name carries\n"
	        "Macintosh colon escapes, decoding each through the table mac2cp850.tab in the\n"
	        "working folder (or the one --table names). Without an argument it converts the\n"
	        "volume, logging each rename before it makes it.\n"
	        "\n"
	        "  --dry-run, -n  rename nothing and write nothing; list what a run would do\n"
	        "                 instead, one a line, then its counts:\n"
	        "                   OLD -> NEW                 a rename\n"
	        "                   collision: OLD -> NEW      a rename whose new name is taken\n"
	        "                   kept (:XX WHY, ...): PATH  escapes a name keeps, and why\n"
	        "                   kept (name WHY): PATH      a name kept whole, and why\n"
	        "                   mount: PATH                another file system the run enters\n"
	        "                   table breaks reruns: :XX gives 'C'\n"
	        "                                              the next run decodes again\n"
	        "  --table FILE   read the table from FILE, and with --transliterate\n"
	        "                 mac2cp850.translit from FILE's folder, instead of the\n"
	        "                 working folder; the installed table:\n"
	        "                 %s\n"
	        "  --transliterate\n"
	        "                 also replace each escape the table keeps by its\n"
	        "                 transliteration in mac2cp850.translit, such as EUR for the\n"
	        "                 euro sign, where that can't be decoded again and leaves a\n"
	        "                 name Windows can use\n"
	        "  --from CHARSET decode each escape through iconv as a character of CHARSET,\n"
	        "                 the Mac charset the volume was written in (default\n"
	        "                 MACINTOSH; others: MAC-CENTRALEUROPE, MACCYRILLIC,\n"
	        "                 MACUKRAINIAN, MAC-IS, MAC-SAMI), instead of the table; or\n"
	        "                 each name whole, strictly, as text of a charset of several\n"
	        "                 bytes a character (CP932, EUC-JP, CP949, GBK, BIG5, UTF-8)\n"
	        "  --to CHARSET   decode each escape through iconv into CHARSET, such as UTF-8\n"
	        "                 for a server that keeps UTF-8 names (default CP850), instead\n"
	        "                 of the table; an escape whose character CHARSET lacks stays\n"
	        "  --read-ahead N let N threads, 0 to 64, read the folders ahead of the walk\n"
	        "                 when listings are slow, so that the caches hold them when it\n"
	        "                 gets there: for storage that serves many reads at once\n"
	        "                 (default 16; 0: none)\n"
	        "  --help         print this help and exit\n"
	        "  --version      print the version and exit\n"
	        "\n"
	        "On a terminal, each byte of a name, a path or an argument that is a control\n"
	        "character or no character of the locale's charset shows as \\xHH.\n"
	        "\n"
	        "Mount point: %s\n"
	        "Log:         %s\n"
	        "Journal:     %s\n"
	        "Statistics:  %s\n"
	        "Lock:        %s\n"
	        "A run and an undo lock the lock file while they work, a dry run shares it; one\n"
	        "that finds it locked stops at once.\n"
	        "\n"
	        "Exit status: 0 done (dry run: no collision foreseen); 1 a rename failed (the\n"
	        "log says why), an entry kept its name for want of a record, or a folder was\n"
	        "not walked in full for want of file descriptors (dry run: that, a collision\n"
	        "foreseen, or a record folder a run would refuse); 2 a usage error; 255 the\n"
	        "table can't be opened, the transliterations can't be used, a charset is\n"
	        "unknown or refused, the record folder or the lock file is refused, or another\n"
	        "run or undo is using the volume; 128+N stopped by signal N (SIGINT, SIGTERM,\n"
	        "SIGHUP) after the entry in hand, with its report: run it again to convert the\n"
	        "rest of the volume.\n",
	        installed_table().c_str(), g_startpath, g_logfile, g_journalfile, g_statfile,
	        g_lockfile);
}

// `text`, from outside the program (an argument, a path, a reason naming one), as stream `to`
// may show it.
std::string shown(FILE *to, std::string_view text)
{
	std::string out;
	append_shown(out, fileno(to), text);
	return out;
}

int usage_error(const char *what, const char *arg)
{
	std::fprintf(stderr, "mac2cp850: %s: %s\n%s", what, shown(stderr, arg).c_str(), usage);
	return 2;
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

// Reads the command line into `opts`; go_on, or the exit status to stop with. A mistyped option
// must never start a run.
int read_options(int argc, char **argv, options &opts)
{
	for (int i = 1; i < argc; i++) {
		argument arg;
		if (!read_argument(argc, argv, i, {"--read-ahead", "--from", "--to", "--table"},
		                   arg))
			return usage_error("option needs a value", argv[i]);
		if (arg.name == "--help") {
			print_help();
			return 0;
		}
		if (arg.name == "--version") {
			std::printf("mac2cp850 %s\n", MAC2CP850_VERSION);
			return 0;
		}
		if (arg.name == "--transliterate") {
			opts.transliterate = true;
		} else if (arg.name == "--dry-run" || arg.name == "-n") {
			opts.dry_run = true;
		} else if (arg.name == "--read-ahead") {
			int threads = thread_count(arg.value);
			if (threads < 0)
				return usage_error(
				        "--read-ahead needs a number of threads from 0 to 64",
				        arg.value);
			opts.walk.readahead = static_cast<unsigned>(threads);
		} else if (arg.name == "--from") {
			opts.from = arg.value;
		} else if (arg.name == "--to") {
			opts.to = arg.value;
		} else if (arg.name == "--table") {
			opts.table = arg.value;
		} else {
			return usage_error("unknown argument", argv[i]);
		}
	}
	if (opts.transliterate && (opts.from != nullptr || opts.to != nullptr)) {
		std::fprintf(stderr,
		             "mac2cp850: --transliterate goes with the table, not with --to or "
		             "--from\n%s",
		             usage);
		return 2;
	}
	if (opts.table != nullptr && (opts.from != nullptr || opts.to != nullptr)) {
		std::fprintf(stderr,
		             "mac2cp850: --table goes with the table, not with --to or --from\n%s",
		             usage);
		return 2;
	}
	if (opts.table != nullptr) {
		std::string_view table = opts.table;
		std::size_t slash = table.rfind('/');
		if (slash != std::string_view::npos)
			opts.translit.insert(0, table.substr(0, slash + 1));
	}
	return go_on;
}

// Whether the escapes are decoded through the charsets rather than the table.
bool by_charsets(const options &opts)
{
	return opts.from != nullptr || opts.to != nullptr;
}

const char *source_of(const options &opts)
{
	return opts.from != nullptr ? opts.from : "MACINTOSH";
}

const char *target_of(const options &opts)
{
	return opts.to != nullptr ? opts.to : "CP850";
}

// The table file as the console names it.
const char *table_of(const options &opts)
{
	return opts.table != nullptr ? opts.table : "mac2cp850.tab";
}

// Where the installed table is, for a run whose table can't be opened.
std::string table_hint()
{
	std::string table = installed_table();
	return "The installed table is " + table + ": mac2cp850 --table " + table;
}

// Reads the table from `path`, opened only where no one but root or this user can change it,
// into `d`.
fault read_table(const char *path, decoder_ptr &d)
{
	fault f;
	int fd = open_trusted_file(path, f);
	if (fd < 0)
		return f;
	// One byte more than the table, to tell a file that holds more. Whatever fails to come
	// leaves the table as far as it was read.
	std::string bytes;
	(void)read_whole(fd, bytes, 257);
	(void)close(fd);
	d = table_decoder(bytes);
	return {};
}

// The charset that the console names the conversion by, as given: nullptr for code page 850,
// under any of its names, and for the table.
const char *named_target(const options &opts)
{
	return opts.to != nullptr && !is_cp850(opts.to) ? opts.to : nullptr;
}

// The decoder that the options ask for, in `d`: the charsets', or the table's. A charset that
// iconv does not know gets the known names closest to it, for a mistyped one.
fault read_decoder(const options &opts, decoder_ptr &d)
{
	if (!by_charsets(opts))
		return read_table(table_of(opts), d);
	const char *unknown = nullptr;
	fault f = charset_decoder(source_of(opts), target_of(opts), d, &unknown);
	if (unknown != nullptr)
		f.why += did_you_mean(closest_names(unknown, charset_names(MAC2CP850_GCONVDIR)));
	return f;
}

// Gives the table's decoder `d` the transliterations from `path`, read as read_table reads the
// table, to take them if `transliterate`.
fault read_translit(const std::string &path, decoder &d, bool transliterate)
{
	fault f;
	int fd = open_trusted_file(path, f);
	if (fd < 0)
		return f;
	// 256 valid lines take at most 2,048 bytes, so a longer file has a bad line, which shows
	// within its first 9 bytes: reading more could only feed a runaway file into memory.
	std::string text;
	f = read_whole(fd, text, 4096);
	(void)close(fd);
	return f ? f : add_transliterations(d, text, transliterate);
}

// Tells on standard error what a table of other than 256 bytes means, unless `missing_only` and
// it misses no entry: a table that misses entries leaves their escapes in names, which is rarely
// what was meant.
void warn_table_size(const options &opts, const decoder &d, bool missing_only)
{
	bool missing = false;
	std::string note = size_note(d, missing);
	if (note.empty() || (missing_only && !missing))
		return;
	(void)std::fflush(stdout);
	std::fprintf(stderr, "mac2cp850: %s: %s\n", shown(stderr, table_of(opts)).c_str(),
	             note.c_str());
}

// The lock's fault in words.
std::string lock_text(const fault &f)
{
	return f.err == EWOULDBLOCK ? g_lock_busy
	                            : std::string(g_lockfile) + ": " + fault_text(f, false);
}

bool records_refused;  // the dry run found a record folder that a run would refuse

// Tells on standard error what a run would refuse, `f`, for the dry run to end with 1; but a user
// other than root who can't look where the records are only learns that root can.
void tell_refused(const fault &f)
{
	if (f.err == EACCES && geteuid() != 0) {
		std::fprintf(stderr,
		             "mac2cp850: can't check the record folder %s as this user: %s; a run "
		             "as root checks it\n",
		             shown(stderr, g_recorddir).c_str(), std::strerror(EACCES));
		return;
	}
	records_refused = true;
	std::fprintf(stderr, "mac2cp850: %s\n", shown(stderr, f.why).c_str());
}

// Whether `path` can be told to be a folder that nothing is mounted on: no mount root where
// the system tells, else on its parent's device.
bool nothing_mounted(const std::string &path)
{
	struct statx sx;
	struct stat up;
	if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS, &sx) != 0)
		return false;
	if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
		return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0;
	if (stat((path + "/..").c_str(), &up) != 0)
		return false;
	return makedev(sx.stx_dev_major, sx.stx_dev_minor) == up.st_dev;
}

// Tells on standard error when nothing is mounted at the mount point: a run would walk the
// empty folder under it, and look harmless.
void warn_unmounted()
{
	if (nothing_mounted(g_startpath))
		std::fprintf(stderr, "mac2cp850: %s: nothing is mounted there\n",
		             shown(stderr, g_startpath).c_str());
}

// What a dry run found: the walk's counts and the preview's.
struct foresight {
	walk_counts walked;
	preview_context seen;
};

// Lists what a run would do, on standard output, one line each, for people and for grep. No
// banner and no CR: errors go to standard error, as the undo's do. False when it can't start.
bool foresee_volume(const options &opts, foresight &found)
{
	decoder_ptr d;
	if (fault f = read_decoder(opts, d); f && by_charsets(opts)) {
		std::fprintf(stderr, "mac2cp850: %s\n",
		             shown(stderr, fault_text(f, false)).c_str());
		return false;
	} else if (f) {
		std::fprintf(stderr, "mac2cp850: %s: %s\nmac2cp850: %s\n",
		             shown(stderr, table_of(opts)).c_str(),
		             shown(stderr, fault_text(f, false)).c_str(),
		             shown(stderr, table_hint()).c_str());
		return false;
	}
	// Without the option the transliterations only say what the option would do, if they can.
	if (fault f = by_charsets(opts) ? fault{}
	                                : read_translit(opts.translit, *d, opts.transliterate);
	    f && opts.transliterate) {
		std::fprintf(stderr, "mac2cp850: %s: %s\n", shown(stderr, opts.translit).c_str(),
		             shown(stderr, fault_text(f, true)).c_str());
		return false;
	}
	// Where a run would refuse, the listing goes on, as it writes nothing, but ends with 1.
	// Shared, so that it never reports a volume in the middle of a run.
	fault refused;
	int records = open_trusted_folder(g_recorddir, false, refused);
	if (refused)
		tell_refused(refused);
	if (records >= 0) {
		fault foreign = check_record_files(
		        records, {g_logfile, g_journalfile, g_statfile, g_lockfile});
		if (foreign)
			tell_refused(foreign);
		// A foreign lock file is not locked, so that its owner can't hold up the listing.
		fault f = foreign ? fault{} : take_lock(records, file_name(g_lockfile), false);
		(void)close(records);
		if (f) {
			std::fprintf(stderr, "mac2cp850: %s\n",
			             shown(stderr, lock_text(f)).c_str());
			return false;
		}
	}
	// Mistakes that a run would not stop at either, told before the listing looks harmless.
	warn_table_size(opts, *d, false);
	warn_unmounted();
	walk_settings how = opts.walk;
	how.decoding = d.get();
	preview_start(found.seen, *d);
	found.walked = scan_path(how, {foresee, note_mount, nullptr, &found.seen});
	return true;
}

int report_foresight(const foresight &found)
{
	const walk_counts &walked = found.walked;
	const preview_context &seen = found.seen;
	if (g_interrupt != 0)
		std::fprintf(stderr, "mac2cp850: interrupted: the listing stops short\n");
	if (walked.unwalked != 0)
		std::printf("Folders not walked in full for want of file descriptors: %llu\n",
		            static_cast<unsigned long long>(walked.unwalked));
	std::printf("Checked folders:  %llu\nChecked files:    %llu\nConversions done: %llu\n"
	            "Collisions:       %llu\nKeeping escapes:  %llu\n",
	            static_cast<unsigned long long>(walked.folders),
	            static_cast<unsigned long long>(walked.files),
	            static_cast<unsigned long long>(walked.conversions),
	            static_cast<unsigned long long>(seen.collisions),
	            static_cast<unsigned long long>(seen.keeping_escapes));
	// Told last, where it is seen: the listing may be long.
	if (seen.multibyte_looking != 0)
		std::fprintf(
		        stderr,
		        "mac2cp850: %llu %s like multi-byte text, such as %s: try --from UTF-8, "
		        "or a two-byte charset such as --from CP932, with --to UTF-8\n",
		        static_cast<unsigned long long>(seen.multibyte_looking),
		        seen.multibyte_looking == 1 ? "name looks" : "names look",
		        shown(stderr, seen.multibyte_example).c_str());
	if (g_interrupt != 0)
		return 128 + g_interrupt;
	return seen.collisions + walked.unwalked == 0 && !records_refused ? 0 : 1;
}

// What a run did: the walk's counts and what became of the renames.
struct conversion {
	walk_counts walked;
	apply_context applied;
	int stopped_by = 0;  // the signal that ended the walk early; 0: it went through the volume
	const char *target = nullptr;  // the charset the console names, as named_target gives it
};

// The statistics file written as the walk's counters call for it.
void write_stats(void * /*context*/, std::uint64_t files, std::uint64_t folders)
{
	store_stats(files, folders);
}

// Prints the banner, loads the table, checks the record folder, takes the lock and walks the
// volume, renaming as it goes; false when it can't start, after the console says why.
bool convert_volume(const options &opts, conversion &done)
{
	done.target = named_target(opts);
	std::printf("------------------------------------\r\n");
	if (done.target != nullptr)
		std::printf("%s filename conversion\r\n", shown(stdout, done.target).c_str());
	else
		std::printf("Codepage 850 filename conversion\r\n");
	std::printf("Init...\r\n");
	if (by_charsets(opts))
		std::printf("Converting %s to %s...", shown(stdout, source_of(opts)).c_str(),
		            shown(stdout, target_of(opts)).c_str());
	else
		std::printf("Reading %s...", shown(stdout, table_of(opts)).c_str());
	(void)std::fflush(stdout);
	decoder_ptr d;
	if (fault f = read_decoder(opts, d)) {
		std::printf("FAILED %s\r\n", shown(stdout, fault_text(f, true)).c_str());
		if (!by_charsets(opts))
			std::printf("%s\r\n", shown(stdout, table_hint()).c_str());
		return false;
	}
	std::printf("ok.\r\n");
	warn_table_size(opts, *d, true);
	if (opts.transliterate) {
		std::printf("Reading %s...", shown(stdout, opts.translit).c_str());
		(void)std::fflush(stdout);
		if (fault f = read_translit(opts.translit, *d, true)) {
			std::printf("FAILED %s\r\n", shown(stdout, fault_text(f, true)).c_str());
			return false;
		}
		std::printf("ok.\r\n");
	}
	std::printf("Success.\r\n");
	std::printf("------------------------------------\r\n\r\n");

	std::printf("Mountpoint is %s\r\n", shown(stdout, g_startpath).c_str());
	(void)std::fflush(stdout);
	warn_unmounted();
	constexpr std::string_view accessing = "Accessing...";
	std::printf("%s", accessing.data());
	(void)std::fflush(stdout);
	progress_after(accessing.size());
	// Before anything is written: records in a folder that another user can change are
	// records she can forge, swap or point elsewhere.
	fault refused;
	int records = open_trusted_folder(g_recorddir, true, refused);
	if (records < 0) {
		std::printf("FAILED %s\r\n", shown(stdout, refused.why).c_str());
		return false;
	}
	// Another user's record file, planted while the folder was loose, is no record of ours.
	if (fault f = check_record_files(records,
	                                 {g_logfile, g_journalfile, g_statfile, g_lockfile})) {
		std::printf("FAILED %s\r\n", shown(stdout, f.why).c_str());
		return false;
	}
	fault unlocked = take_lock(records, file_name(g_lockfile), true);
	if (unlocked && !no_room_for_lock(unlocked)) {
		std::printf("FAILED %s\r\n", shown(stdout, lock_text(unlocked)).c_str());
		return false;
	}
	if (unlocked) {
		// No lock, no rename, and no record either, not even the log's summary: another run
		// may hold the lock of a lock file removed since. The log is named where even it
		// can't be opened, as in any run over a folder that takes no record.
		std::string file = g_lockfile;
		struct stat st;
		fault f;
		int fd = open_file(records, file_name(g_logfile), O_WRONLY | O_APPEND | O_NOFOLLOW,
		                   0, st, f);
		if (fd < 0 && f.err != ENOENT) {
			file = g_logfile;
			unlocked = f;
		}
		if (fd >= 0)
			(void)close(fd);
		withhold_renames(done.applied, file, unlocked);
	} else {
		log_start(records, g_logfile);
		stats_start(records, g_statfile);
		// What fails here shows as renames withheld for want of a record.
		(void)journal_start(records, g_journalfile, volume_at(g_startpath));
	}
	walk_settings how = opts.walk;
	how.decoding = d.get();
	done.walked = scan_path(how, {apply, nullptr, write_stats, &done.applied});
	done.stopped_by = g_interrupt;
	store_log(done.stopped_by != 0 ? "\r\nInterrupted\r\n" : "\r\nFinished\r\n");
	return true;
}

// Formats one summary line, prints it, and appends it to the log.
void summary(const char *label, std::uint64_t count)
{
	std::string line = label + std::to_string(count) + "\r\n";
	std::printf("%s", line.c_str());
	store_log(line);
}

int report_conversion(const conversion &done)
{
	const walk_counts &walked = done.walked;
	const apply_context &applied = done.applied;
	if (done.stopped_by != 0)
		std::printf("interrupted\r\nRun it again to convert the rest of the volume.\r\n");
	else
		std::printf("done\r\n");
	if (applied.failed_renames != 0)
		std::printf("Renames that failed: %llu (see %s)\r\n",
		            static_cast<unsigned long long>(applied.failed_renames),
		            shown(stdout, g_logfile).c_str());
	if (applied.withheld != 0)
		std::printf("Kept their names for want of a record: %llu (%s: %s)\r\n",
		            static_cast<unsigned long long>(applied.withheld),
		            shown(stdout, applied.withheld_file).c_str(),
		            shown(stdout, fault_text(applied.withheld_fault, true)).c_str());
	if (walked.unwalked != 0)
		std::printf("Folders not walked in full for want of file descriptors: %llu\r\n",
		            static_cast<unsigned long long>(walked.unwalked));
	std::printf("------------------------------------\r\n\r\n");
	std::printf("%s filename conversion %s.\r\n",
	            done.target != nullptr ? shown(stdout, done.target).c_str() : "ISO-8859-1",
	            done.stopped_by != 0 ? "interrupted" : "finished");
	std::printf("Stats:\r\n");
	summary("Checked folders:  ", walked.folders);
	summary("Checked files:    ", walked.files);
	summary("Conversions done: ", walked.conversions);
	std::printf("\r\nFor a complete list of all affected files see \"convert.log\".\r\n");
	std::printf("May the Umlaut be with you.\r\n\r\n");
	if (done.stopped_by != 0)
		return 128 + done.stopped_by;
	return applied.failed_renames + applied.withheld + walked.unwalked == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
	options opts;
	if (int status = read_options(argc, argv, opts); status != go_on)
		return status;
	catch_interrupts();
	// A dry run ends, like any listing, when its reader goes away; a run must not stop before
	// its log is complete when the console goes away.
	if (opts.dry_run) {
		foresight found;
		return foresee_volume(opts, found) ? report_foresight(found) : -1;
	}
	(void)signal(SIGPIPE, SIG_IGN);
	conversion done;
	return convert_volume(opts, done) ? report_conversion(done) : -1;
}
