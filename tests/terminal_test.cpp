// What a terminal shows of names, paths, arguments and journal text, and what a pipe gets.
#include "harness.h"

namespace
{

using terminal = e2e;

// Names that return, erase, move up, set the title, hold C1, DEL or no UTF-8, on a mount point,
// a renamed folder keeping an escape, a collision: both programs' lines, on terminals and piped.
TEST_F(terminal, shows_every_byte_of_a_name_safely_and_pipes_it_exact)
{
	const std::string point = "m\x1b]0;t\x07\xc3\xa9";
	const std::string folder = "\r\x1b[2K\x1b[1A\n\x85\x9b\xc3(:8e:2f";
	make_dir(mount + "/" + point);
	const bool mounted = mount_tmpfs(mount + "/" + point, "size=64k");
	make_dir(mount + "/" + point + "/" + folder);
	for (const char *name : {"/k\x7f:8e", "/k\x7f\x8e", "/k\x7f\xc3\xa9"})
		write_file(mount + "/" + point + "/" + folder + name, "");
	write_table(std::string(0x80, '\0') + identity_table().substr(0x80));
	// The dry run's lines and warning, the names (old and new) shown as given.
	auto listing = [&](const std::string &b, const std::string &a, const std::string &a2,
	                   const std::string &e, const std::string &e2) {
		const std::string m = mount + "/" + b;
		return (mounted ? "mount: " + m + "\n" : "") + "collision: " + m + "/" + a + "/" +
		       e + " -> " + m + "/" + a + "/" + e2 + "\n" + m + "/" + a + " -> " + m + "/" +
		       a2 + "\nkept (:2f is '/'): " + m + "/" + a2 +
		       "\nChecked folders:  3\nChecked files:    5\nConversions done: 2\n"
		       "Collisions:       1\nKeeping escapes:  1\nmac2cp850: " +
		       mount + ": nothing is mounted there\n";
	};
	// The undo's line for the folder, the names shown as given.
	auto back = [&](const std::string &b, const std::string &a2, const std::string &a) {
		return mount + "/" + b + "/" + a2 + " -> " + mount + "/" + b + "/" + a + "\n";
	};
	const std::string a_shown = "\\x0D\\x1B[2K\\x1B[1A\\x0A\\x85\\x9B\\xC3(";
	const std::string b_utf8 = "m\\x1B]0;t\\x07\xc3\xa9", b_c = "m\\x1B]0;t\\x07\\xC3\\xA9";
	const std::string hint = table_hint().substr(0, table_hint().size() - 2);
	// Runs `program` on a terminal in `locale` (nullptr: piped); its output, then its errors.
	auto check = [&](const char *program, const char *locale, bool err_too,
	                 const std::vector<std::string> &args, int status, const std::string &out) {
		SCOPED_TRACE(args.front() + (locale != nullptr ? locale : " piped"));
		run_result r = locale != nullptr ? run_on_terminal(args, locale, program, err_too)
		                                 : run_with(args, 0, false, 0, program);
		EXPECT_EQ(r.status, status);
		EXPECT_EQ(r.out + r.err, out);
	};
	check(PROGRAM, nullptr, false, {"-n"}, 1,
	      listing(point, folder, "\r\x1b[2K\x1b[1A\n\x85\x9b\xc3(\x8e:2f", "k\x7f:8e",
	              "k\x7f\x8e"));
	check(PROGRAM, "C.UTF-8", false, {"-n"}, 1,
	      listing(b_utf8, a_shown + ":8e:2f",
	              "\\x0D\\x1B[2K\\x1B[1A\\x0A\xc3\xa0\xc3\xb8\xe2\x94\x9c(\xc3\x84:2f",
	              "k\\x7F:8e", "k\\x7F\xc3\x84"));
	check(PROGRAM, "C", false, {"-n"}, 1,
	      listing(b_c, a_shown + ":8e:2f", a_shown + "\\x8E:2f", "k\\x7F:8e", "k\\x7F\\x8E"));
	check(PROGRAM, nullptr, false, {"-n", "--to=UTF-8"}, 1,
	      listing(point, folder, "\r\x1b[2K\x1b[1A\n\x85\x9b\xc3(\xc3\xa9:2f", "k\x7f:8e",
	              "k\x7f\xc3\xa9"));
	check(PROGRAM, "C.UTF-8", false, {"-n", "--to=UTF-8"}, 1,
	      listing(b_utf8, a_shown + ":8e:2f", a_shown + "\xc3\xa9:2f", "k\\x7F:8e",
	              "k\\x7F\xc3\xa9"));
	check(PROGRAM, "C.UTF-8", false, {"--table", "t\x1b[2K"}, 255,
	      "------------------------------------\r\nCodepage 850 filename conversion\r\n"
	      "Init...\r\nReading t\\x1B[2K...FAILED 2 No such file or directory\r\n" +
	              table_hint());
	check(PROGRAM, "C", true, {"-n", "--table", "t\x1b[2K"}, 255,
	      "mac2cp850: t\\x1B[2K: No such file or directory\nmac2cp850: " + hint + "\n");
	ASSERT_EQ(run().status, 1);
	std::string j = journal();
	const std::string started = j.substr(37, 20);
	const std::string named = "mac2cp850-undo: run 2 of 2, started " + started + "\n";
	const std::string on = volume_noted();
	j.insert(j.find('\n') + 1, "junk\x1b[2K\r\n");
	write_file(journal_path, j + "mac2cp850-journal 9\x1b[2K\n");
	const std::string unparseable = "unparseable: junk\\x1B[2K\\x0D\n";
	const std::string counts = "1 unparseable, 1 failed in the run\n";
	const std::string dry = " to revert, 0 already reverted, 0 missing, 0 to refuse, ";
	check(UNDO_PROGRAM, nullptr, false, {"-n", "--run", "2"}, 1,
	      named + "would revert: " +
	              back(point, "\r\x1b[2K\x1b[1A\n\x85\x9b\xc3(\x8e:2f", folder) +
	              "unparseable: junk\x1b[2K\r\ndry run: 1" + dry + counts);
	check(UNDO_PROGRAM, "C.UTF-8", false, {"-n", "--run", "2"}, 1,
	      named + "would revert: " + back(b_utf8, a_shown + "\\x8E:2f", a_shown + ":8e:2f") +
	              unparseable + "dry run: 1" + dry + counts);
	check(UNDO_PROGRAM, "C", false, {"--list"}, 0,
	      "  run  started                renamed    failed  unreadable\n    2  " + started +
	              "         1         1           1" + on +
	              "\n    1  none                  format not "
	              "known: 9\\x1B[2K\nWithout --run, the undo takes back run 1.\n");
	check(UNDO_PROGRAM, "C.UTF-8", true, {"-n"}, 2,
	      "mac2cp850-undo: " + journal_path + ": run 1: format not known: 9\\x1B[2K\n");
	check(UNDO_PROGRAM, "C", true, {"--journal", records + "/x\x1b[2K"}, 2,
	      "mac2cp850-undo: " + records + "/x\\x1B[2K: No such file or directory\n");
	check(UNDO_PROGRAM, "C", false, {"--run", "2"}, 1,
	      named + back(b_c, a_shown + "\\x8E:2f", a_shown + ":8e:2f") + unparseable +
	              "1 reverted, 0 already reverted, 0 missing, 0 refused, " + counts);
}

}  // namespace
