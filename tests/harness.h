// Runs the test copy of the program over real trees and reads what it leaves behind.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct run_result {
	int status;       // exit status, or -1 when the program did not exit normally
	std::string out;  // everything written to standard output
	std::string err;  // everything written to standard error, by the runs that keep it apart
};

// The program's test copy that tests run: with E2E_READAHEAD set, the copy whose read-ahead
// starts at the first folder of every walk.
const char *test_program();
#define PROGRAM test_program()

// The table that maps every escape to the byte of its own value, but 0 and '/' to nothing.
std::string identity_table();

void write_file(const std::string &path, const std::string &bytes);
// The file's bytes; `missing` (if given) tells whether it could not be read at all.
std::string read_file(const std::string &path, bool *missing = nullptr);
bool exists(const std::string &path);
void make_dir(const std::string &path);
void make_link(const std::string &target, const std::string &path);
// Folders `levels` nested one in the next below `top`, made through descriptors so that no
// path length limits them, and an empty file `file` in the deepest.
void make_chain(const std::string &top, const std::vector<std::string> &levels,
                const std::string &file);
// Entry names of a folder, sorted.
std::vector<std::string> names(const std::string &dir);
// Removes a tree of any depth.
void remove_tree(const std::string &path);

// A user with no rights of its own, for runs by someone other than root.
inline constexpr uid_t nobody = 65534;
// Whether user `id` can run the program and reach the folder `dir`.
bool reachable_by(uid_t id, const std::string &dir);

// Every entry below `root`, not following links, by its path from there ("/a/b"): "/" for a
// folder, "-> TARGET" for a link, "= CONTENT" for anything else; with `status`, instead its
// type and mode, inode, size, and the times of its last change and modification to the
// nanosecond.
std::map<std::string, std::string> snapshot(const std::string &root, bool status = false);
// snapshot(root, true) as text, an entry a line.
std::string tree_state(const std::string &root);

// The system calls at which run_killed() can stop the program.
enum kill_point { kill_at_rename = 1, kill_at_write = 2 };

// What the console shows after a completed run; `failures` are the lines that follow "done".
std::string report(std::uint64_t folders, std::uint64_t files, std::uint64_t conversions,
                   const std::string &failures = "");
// `out`, a console or a part of it, as a run converting to `target`, which is not code page 850,
// shows it: its banner and closing lines name `target`.
std::string to_target(std::string out, const std::string &target);
// The console's line for `count` renames that failed, each with its error in the log.
std::string failed_renames(std::uint64_t count);
// The console's line after a table that can't be opened: where the installed one is.
std::string table_hint();
// The console's line for `count` entries that kept their names for want of a record, the first
// for `reason` (the file and its error).
std::string withheld(std::uint64_t count, const std::string &reason);
// The section that one run appends to the log, around the conversion lines `body`.
std::string log_section(const std::string &body, std::uint64_t folders, std::uint64_t files,
                        std::uint64_t conversions);
// The lines of the log's first section between its header and "Finished", sorted.
std::vector<std::string> logged_lines(const std::string &log);
// The statistics file's text for the given counts.
std::string stats_text(std::uint64_t files, std::uint64_t folders);

// Fresh mount point, record folder and working folder (holding the identity table) per test.
class e2e : public ::testing::Test
{
protected:
	void SetUp() override;
	void TearDown() override;

	// Runs the program in `work`; a nonzero `nofile` sets the soft open-file limit,
	// `console_gone` closes the reading end of its standard output before it starts, and it
	// inherits `inherited` descriptors open beyond the standard three.
	run_result run(rlim_t nofile = 0, bool console_gone = false, unsigned inherited = 0);
	// Runs the undo's test copy in `work` with `args`; a nonzero `nofile` sets the soft
	// open-file limit.
	run_result undo(const std::vector<std::string> &args = {}, rlim_t nofile = 0);
	// Runs the program in `work` as user and group `id` (0: root), which must be able to
	// reach it; a nonzero `seconds` ends it with SIGALRM if it runs longer, as a hang would.
	run_result run_as(uid_t id, unsigned seconds = 0);
	// Runs `program` (by default the program) in `work` with `args` as user and group `id`
	// (0: root), its standard error kept apart: on a pseudo-terminal when `err_tty`, else in a
	// file; a nonzero `nofile` sets the soft open-file limit.
	run_result run_with(const std::vector<std::string> &args, uid_t id = 0,
	                    bool err_tty = false, rlim_t nofile = 0, const char *program = PROGRAM);
	// Runs `program` in `work` with `args` and LC_ALL set to `locale`, its standard output a
	// pseudo-terminal that passes bytes through as they are written, its standard error there
	// too if `err_too`, else kept apart in a file.
	run_result run_on_terminal(const std::vector<std::string> &args, const char *locale,
	                           const char *program = PROGRAM, bool err_too = false);
	// Runs `program` (the program or the undo) in `work` with `args`, its standard output
	// kept, and sends it `sig` when it is about to make its `n`th call (from 1) of `at`,
	// before that call takes effect, having called `meanwhile` while it waits there; `killed`
	// tells whether it got that far. A signal other than SIGKILL lets the call go on and the
	// program end as it will.
	run_result run_killed(kill_point at, unsigned long n, bool &killed,
	                      const std::function<void()> &meanwhile = {},
	                      const char *program = PROGRAM,
	                      const std::vector<std::string> &args = {}, int sig = SIGKILL);
	// Mounts a tmpfs on `dir` for the rest of the test; false when the system refuses.
	bool mount_tmpfs(const std::string &dir, const std::string &options);
	// Makes an ext4 image file `image` of 16 MiB with mkfs.ext4's `options` and mounts it
	// through a loop device on `dir` for the rest of the test; false when that can't be done.
	bool mount_image(const std::string &image, const std::string &dir,
	                 const std::string &options);
	// Mounts `source` on `dir` through FUSE (bindfs), every file shown as root's, mode 0755,
	// for the rest of the test; false when bindfs is missing or fails.
	bool mount_fuse(const std::string &source, const std::string &dir);
	std::string log() const;
	std::string journal() const;
	// The line that an undo without --run starts with when it takes back run `n`, counted from
	// the last, of the journal: its number and start time as the journal gives them.
	std::string named_run(std::size_t n) const;
	// What --list adds to the line of the journal's first run for its volume, which the
	// first line ends with: "  on SOURCE", and " (UUID U)" when it has one.
	std::string volume_noted() const;
	std::string stats() const;
	void write_table(const std::string &bytes) const;

	const std::string top = E2E_DIR;
	const std::string mount = top + "/convmount";
	const std::string records = top + "/records";
	const std::string work = top + "/work";
	const std::string outside = top + "/outside";
	const std::string log_path = records + "/convert.log";
	const std::string journal_path = records + "/convert.journal";
	const std::string stats_path = records + "/runstats.txt";
	const std::string lock_path = records + "/mac2cp850.lock";
	const std::string unmounted = "mac2cp850: " + mount + ": nothing is mounted there\n";
	std::vector<std::string> mounts;  // undone, last first, when the test ends
};
