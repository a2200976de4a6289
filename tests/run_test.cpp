// The console report, the exit status and the loading of the table.
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

class run_report : public e2e
{
};

TEST_F(run_report, missing_table_stops_before_the_walk)
{
	ASSERT_EQ(unlink((work + "/mac2cp850.tab").c_str()), 0);
	write_file(mount + "/a:41", "");

	run_result r = run();

	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "------------------------------------\r\n"
	                 "Codepage 850 filename conversion\r\nInit...\r\n"
	                 "Reading mac2cp850.tab...FAILED 2 No such file or directory\r\n" +
	                         table_hint());
	EXPECT_TRUE(names(records).empty());
	EXPECT_EQ(names(mount), std::vector<std::string>{"a:41"});
}

// --table names the table, and the transliterations beside it; a table that can't be opened is
// followed by where the installed one is; the charsets read no table, so --table with them is
// refused.
TEST_F(run_report, table_named_on_the_command_line)
{
	struct table_case {
		std::vector<std::string> args;
		int status;
		std::string out;  // the banner's reading lines, or the whole console when it stops
		                  // there
		std::string err;
		const char *after;
	};
	const std::string table = work + "/tables/t.tab";
	const std::string head = "------------------------------------\r\n"
	                         "Codepage 850 filename conversion\r\nInit...\r\n";
	const std::string hint = "The installed table is " DATADIR
	                         "/mac2cp850.tab: mac2cp850 --table " DATADIR "/mac2cp850.tab";
	const std::vector<table_case> cases = {
	        {{"--table", "tables/t.tab"}, 0, "Reading tables/t.tab...ok.\r\n", "", "aA"},
	        {{"--table", table, "--transliterate"},
	         0,
	         "Reading " + table + "...ok.\r\nReading " + work +
	                 "/tables/mac2cp850.translit...ok.\r\n",
	         "",
	         "aA"},
	        {{"--table=none.tab"},
	         255,
	         head + "Reading none.tab...FAILED 2 No such file or directory\r\n" + hint + "\r\n",
	         "",
	         "a:41"},
	        {{"--dry-run", "--table", "none.tab"},
	         255,
	         "",
	         "mac2cp850: none.tab: No such file or directory\nmac2cp850: " + hint + "\n",
	         "a:41"},
	        {{"--dry-run", "--table", "tables/t.tab"},
	         0,
	         mount + "/a:41 -> " + mount + "/aA\n",
	         "",
	         "a:41"},
	        {{"--table", "tables/t.tab", "--to", "UTF-8"},
	         2,
	         "",
	         "mac2cp850: --table goes with the table, not with --to or --from\n",
	         "a:41"},
	};
	for (const table_case &c : cases) {
		SCOPED_TRACE(c.args[0] + " " + c.args.back());
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		make_dir(records);
		remove_tree(work);
		make_dir(work);
		make_dir(work + "/tables");
		write_file(table, identity_table());
		write_file(work + "/tables/mac2cp850.translit", "");
		write_file(mount + "/a:41", "");

		run_result r = run_with(c.args);

		EXPECT_EQ(r.status, c.status);
		if (c.status == 0 && c.args[0] != "--dry-run") {
			std::string expected = report(1, 1, 1);
			const std::string line = "Reading mac2cp850.tab...ok.\r\n";
			EXPECT_EQ(r.out, expected.replace(expected.find(line), line.size(), c.out));
		} else if (c.status == 0) {
			EXPECT_NE(r.out.find(c.out), std::string::npos);
		} else {
			EXPECT_EQ(r.out, c.out);
		}
		EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
		EXPECT_EQ(names(mount), std::vector<std::string>{c.after});
	}
}

// Only the first 256 bytes count; entries the file does not hold are 0, which keeps escapes, and
// a short table is told on standard error by the name it was given. A table that is no regular
// file or that another user could have written is refused.
TEST_F(run_report, table_files_of_any_size_load)
{
	struct table_case {
		const char *what;
		std::string bytes;
		std::vector<std::string> after;
		std::string failed{};  // the console's reason when the table is refused
	};
	const std::string full = identity_table();
	const std::vector<std::string> kept = {"a:05", "b:41"};
	const std::vector<table_case> cases = {
	        {"empty", "", {"a:05", "b:41"}},
	        {"10 bytes", full.substr(0, 10), {"a\x05", "b:41"}},
	        {"256 bytes", full, {"a\x05", "bA"}},
	        {"300 bytes", full + std::string(44, 'Z'), {"a\x05", "bA"}},
	        {"folder", "", kept, "not a regular file"},
	        {"owned by another user", full, kept, "owned by user 65534"},
	        {"in a folder all can write", full, kept,
	         work + ": writable by others and not sticky"},
	        {"in a sticky folder all can write", full, {"a\x05", "bA"}},
	};
	for (const table_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		make_dir(records);
		remove_tree(work);
		make_dir(work);
		const std::string what = c.what;
		if (what == "folder")
			make_dir(work + "/mac2cp850.tab");
		else
			write_table(c.bytes);
		if (what == "owned by another user")
			ASSERT_EQ(chown((work + "/mac2cp850.tab").c_str(), nobody, nobody), 0);
		if (what.starts_with("in a"))
			ASSERT_EQ(chmod(work.c_str(),
			                what.find("sticky") == std::string::npos ? 0777 : 01777),
			          0);
		write_file(mount + "/a:05", "");
		write_file(mount + "/b:41", "");

		run_result r = run_with({"--table", "./mac2cp850.tab"});

		std::uint64_t converted = c.after[0] == "a:05" ? 0 : c.after[1] == "b:41" ? 1 : 2;
		std::string out = report(1, 2, converted);
		out.insert(out.find("mac2cp850.tab"), "./");
		if (!c.failed.empty())
			out = out.substr(0, out.find("ok.")) + "FAILED " + c.failed + "\r\n" +
			      table_hint();
		const std::string short_table =
		        "mac2cp850: ./mac2cp850.tab: " + std::to_string(c.bytes.size()) +
		        " bytes, not 256: the missing entries keep their escapes\n";
		EXPECT_EQ(r.status, c.failed.empty() ? 0 : 255);
		EXPECT_EQ(r.out, out);
		EXPECT_EQ(r.err, c.failed.empty()
		                         ? (c.bytes.size() < 256 ? short_table : "") + unmounted
		                         : "");
		EXPECT_EQ(names(mount), c.after);
	}
}

TEST_F(run_report, empty_mount_point)
{
	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 0, 0));
	EXPECT_EQ(log(), log_section("", 1, 0, 0));
	EXPECT_FALSE(exists(stats_path));
}

TEST_F(run_report, missing_mount_point_completes_like_an_empty_one)
{
	remove_tree(mount);

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 0, 0));
	EXPECT_EQ(log(), log_section("", 1, 0, 0));
}

TEST_F(run_report, runs_append_sections_and_keep_the_log)
{
	write_file(log_path, "earlier run\r\n");
	write_file(mount + "/a:41", "");

	run_result first = run();
	run_result second = run();

	EXPECT_EQ(first.out, report(1, 1, 1));
	EXPECT_EQ(second.out, report(1, 1, 0));
	EXPECT_EQ(log(), "earlier run\r\n" +
	                         log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 1, 1) +
	                         log_section("", 1, 1, 0));
}

// The lock makes the folder, so the records are kept too.
TEST_F(run_report, missing_record_folder_is_made_for_the_lock)
{
	remove_tree(records);
	write_file(mount + "/a:41", "");
	mode_t saved = umask(0);

	run_result r = run();

	umask(saved);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 1, 1));
	EXPECT_EQ(names(mount), std::vector<std::string>{"aA"});
	EXPECT_EQ(log(), log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 1, 1));
	EXPECT_NE(journal().find(" r 0 "), std::string::npos);
	struct stat st;
	ASSERT_EQ(stat(records.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0700u);
	ASSERT_EQ(stat(lock_path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(run_report, vanished_console_does_not_cut_the_run_short)
{
	write_file(mount + "/a:41", "");

	run_result r = run(0, true);

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(log(), log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 1, 1));
}

// A number of threads from 0 to 64, as the next argument or after '=', runs as without it.
TEST_F(run_report, read_ahead_takes_a_number_of_threads)
{
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
	             {"--read-ahead", "0"}, {"--read-ahead=64"}, {"--read-ahead", "007"}}) {
		SCOPED_TRACE(args.back());
		write_file(mount + "/a:41", "");
		remove_tree(records);

		run_result r = run_with(args);

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, report(1, 1, 1));
		EXPECT_EQ(r.err, unmounted);
		EXPECT_EQ(log(), log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 1, 1));
		remove_tree(mount + "/aA");
	}
}

TEST_F(run_report, records_are_created_readable_by_all)
{
	for (int i = 0; i < 11; i++)
		write_file(mount + "/f" + std::to_string(i), "");
	mode_t saved = umask(0);

	run();

	umask(saved);
	struct stat st;
	ASSERT_EQ(stat(log_path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	ASSERT_EQ(stat(stats_path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// A mistyped option, or a charset unknown or refused, starts nothing: no table read, no walk, no
// record, not even the lock.
TEST_F(run_report, arguments_other_than_the_options_start_nothing)
{
	const std::string usage = "usage: mac2cp850 [--dry-run | -n] [--transliterate | [--from "
	                          "CHARSET] [--to CHARSET]]\n"
	                          "                 [--table FILE] [--read-ahead N]\n"
	                          "       mac2cp850 --help | --version\n";
	const std::string converting =
	        "------------------------------------\r\nCodepage 850 filename "
	        "conversion\r\nInit...\r\nConverting ";
	const std::string threads =
	        "mac2cp850: --read-ahead needs a number of threads from 0 to 64: ";
	const std::string big = "99999999999999999999";
	const std::string no_value = "mac2cp850: option needs a value: --read-ahead\n" + usage;
	struct argument_case {
		std::vector<std::string> args;
		int status;
		std::string out;  // its start, for --help
		std::string err;
	};
	const std::vector<argument_case> cases = {
	        {{"--help"}, 0, usage, ""},
	        {{"--version"}, 0, "mac2cp850 " VERSION "\n", ""},
	        {{"-dry-run"}, 2, "", "mac2cp850: unknown argument: -dry-run\n" + usage},
	        {{"--dryrun"}, 2, "", "mac2cp850: unknown argument: --dryrun\n" + usage},
	        {{"--verbose"}, 2, "", "mac2cp850: unknown argument: --verbose\n" + usage},
	        {{"--transliterate", "--translit"},
	         2,
	         "",
	         "mac2cp850: unknown argument: --translit\n" + usage},
	        {{mount}, 2, "", "mac2cp850: unknown argument: " + mount + "\n" + usage},
	        {{"-n", ""}, 2, "", "mac2cp850: unknown argument: \n" + usage},
	        {{"--read-ahead", "65"}, 2, "", threads + "65\n" + usage},
	        {{"--read-ahead=-1"}, 2, "", threads + "-1\n" + usage},
	        {{"--read-ahead", "1x"}, 2, "", threads + "1x\n" + usage},
	        {{"--read-ahead="}, 2, "", threads + "\n" + usage},
	        {{"--read-ahead", big}, 2, "", threads + big + "\n" + usage},
	        {{"-n", "--read-ahead"}, 2, "", no_value},
	        {{"--read-aheads"}, 2, "", "mac2cp850: unknown argument: --read-aheads\n" + usage},
	        {{"--to", "UTF-8", "--transliterate"},
	         2,
	         "",
	         "mac2cp850: --transliterate goes with the table, not with --to or --from\n" +
	                 usage},
	        {{"-n", "--to"}, 2, "", "mac2cp850: option needs a value: --to\n" + usage},
	        {{"--to", "UTF-16"},
	         255,
	         to_target(converting, "UTF-16") +
	                 "MACINTOSH to UTF-16...FAILED UTF-16 does not keep ASCII as it is\r\n",
	         ""},
	        {{"--from=SHIFT_JIS", "--to=UTF-8"},
	         255,
	         to_target(converting, "UTF-8") +
	                 "SHIFT_JIS to UTF-8...FAILED SHIFT_JIS does not keep ASCII as it is: "
	                 "try CP932\r\n",
	         ""},
	        {{"--from", "FOO"},
	         255,
	         converting + "FOO to CP850...FAILED unknown charset FOO\r\n",
	         ""},
	        {{"-n", "--from", "MACINTOSH", "--to=UTF-32"},
	         255,
	         "",
	         "mac2cp850: UTF-32 does not keep ASCII as it is\n"},
	        {{"--to", "ISO-2022-JP"},
	         255,
	         to_target(converting, "ISO-2022-JP") +
	                 "MACINTOSH to ISO-2022-JP...FAILED ISO-2022-JP keeps a shift state\r\n",
	         ""},
	};
	remove_tree(records);
	write_file(mount + "/a:41", "");
	ASSERT_EQ(unlink((work + "/mac2cp850.tab").c_str()), 0);
	for (const argument_case &c : cases) {
		SCOPED_TRACE(c.args[0]);
		run_result r = run_with(c.args);

		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(c.args[0] == "--help" ? r.out.substr(0, c.out.size()) : r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(names(mount), std::vector<std::string>{"a:41"});
		EXPECT_FALSE(exists(records));
	}
}

// The console names a target other than code page 850 as given, and an interrupted run; a run
// warns when nothing is mounted; an unknown charset gets the closest names iconv knows.
TEST_F(run_report, console_names_what_it_did)
{
	struct console_case {
		std::vector<std::string> args;
		std::string lines;  // the lines naming the conversion or a failure, '\n' each
		std::string err;
		int sig = 0;  // stops the run at its first rename; -1: a file system is mounted
	};
	auto named = [](const std::string &target, const std::string &end) {
		return target + " filename conversion\n" + target + " filename conversion " + end +
		       ".\n";
	};
	const std::string cp850 =
	        "Codepage 850 filename conversion\nISO-8859-1 filename conversion ";
	const std::string wrong =
	        "unknown charset MAC-CENTRAL-EUROPE: did you mean MAC-CENTRALEUROPE?\n";
	const std::vector<console_case> cases = {
	        {{"--to=utf-8"}, named("utf-8", "finished"), unmounted},
	        {{"--from", "MAC-CENTRALEUROPE", "--to", "ISO-8859-2"},
	         named("ISO-8859-2", "finished"),
	         unmounted},
	        {{"--to", "IBM850"}, cp850 + "finished.\n", unmounted},
	        {{}, cp850 + "interrupted.\n", "", SIGINT},
	        {{"--to", "UTF-8"}, named("UTF-8", "interrupted"), "", SIGTERM},
	        {{"--from", "MAC-CENTRAL-EUROPE", "--to", "UTF-8"},
	         "UTF-8 filename conversion\nConverting MAC-CENTRAL-EUROPE to UTF-8...FAILED " +
	                 wrong,
	         ""},
	        {{"-n", "--from", "MAC-CENTRAL-EUROPE"}, "", "mac2cp850: " + wrong},
	        {{}, cp850 + "finished.\n", "", -1},
	};
	for (const console_case &c : cases) {
		SCOPED_TRACE(c.args.empty() ? "table" : c.args.back());
		remove_tree(mount);
		make_dir(mount);
		ASSERT_TRUE(c.sig >= 0 || mount_tmpfs(mount, "mode=0755"));
		write_file(mount + "/a:8e", "");

		bool stopped = false;
		run_result r = c.sig > 0 ? run_killed(kill_at_rename, 1, stopped, {}, PROGRAM,
		                                      c.args, c.sig)
		                         : run_with(c.args);

		std::string lines;
		for (std::size_t at = 0, end; (end = r.out.find("\r\n", at)) != std::string::npos;
		     at = end + 2)
			if (std::string line = r.out.substr(at, end - at);
			    line.find("conversion") != std::string::npos ||
			    line.find("FAILED") != std::string::npos)
				lines += line + "\n";
		EXPECT_EQ(lines, c.lines);
		EXPECT_EQ(c.sig > 0 ? c.err : r.err, c.err);
	}
}

// Standard output is the same either way; standard error gets the progress only when it is a
// terminal, and not here, where standard output goes to another process.
TEST_F(run_report, progress_only_on_a_terminal)
{
	for (bool terminal : {false, true}) {
		SCOPED_TRACE(terminal);
		remove_tree(mount);
		make_dir(mount);
		write_file(mount + "/a:41", "");

		run_result r = run_with({}, 0, terminal);

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, report(1, 1, 1));
		EXPECT_EQ(r.err, unmounted);
	}
}

}  // namespace
