// Taking a run back: real trees converted by the program, then reverted by the undo.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "harness.h"

namespace
{

class undo_run : public e2e
{
protected:
	// Every entry below `dir` by its path from there: a folder as "d", a link as "l" and its
	// target, a file as "f" and its bytes.
	std::map<std::string, std::string> tree(const std::string &dir = "", int depth = 0)
	{
		std::map<std::string, std::string> found;
		for (const std::string &name : names(mount + dir)) {
			std::string path = dir + "/" + name;
			struct stat st;
			EXPECT_EQ(lstat((mount + path).c_str(), &st), 0) << path;
			if (S_ISDIR(st.st_mode)) {
				found[path] = "d";
				if (depth < 50)
					found.merge(tree(path, depth + 1));
			} else if (S_ISLNK(st.st_mode)) {
				std::string target(256, '\0');
				ssize_t n = readlink((mount + path).c_str(), target.data(),
				                     target.size());
				found[path] = "l" + target.substr(0, n < 0 ? 0 : n);
			} else {
				found[path] = "f" + read_file(mount + path);
			}
		}
		return found;
	}

	std::string back(const std::string &from, const std::string &to)
	{
		return mount + to + " -> " + mount + from + "\n";
	}
};

// Folders with their contents, " -> " in names, bytes above 127, CR and LF alone and together
// in names, and an escape of ':' that must not be taken back twice.
TEST_F(undo_run, converted_tree_comes_back_byte_for_byte)
{
	make_dir(mount + "/a:41");
	make_dir(mount + "/a:41/b:42");
	write_file(mount + "/a:41/b:42/c:43", "deep");
	write_file(mount + "/a:41/plain", "kept");
	make_dir(mount + "/x -> y:41");
	write_file(mount + "/x -> y:41/p:41 -> q:42", "arrows");
	write_file(mount + "/caf:8e\xe9", "high");
	write_file(mount + "/cr:0dlf:0a", "controls");
	make_dir(mount + "/crlf:0d:0a");
	make_dir(mount + "/crlf:0d:0a/raw\r\n");
	write_file(mount + "/crlf:0d:0a/raw\r\n/in:0d:0a:41", "split");
	write_file(mount + "/n:3a41", "colon");
	make_link("a:41", mount + "/l:41");
	const auto before = tree();

	run_result convert = run();
	ASSERT_EQ(convert.status, 0);
	EXPECT_EQ(names(mount), (std::vector<std::string>{"aA", "caf\x8e\xe9", "cr\rlf\n",
	                                                  "crlf\r\n", "lA", "n:41", "x -> yA"}));

	run_result r = undo();

	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(tree(), before);
	// The walk reaches a:41's contents through the link when it lists the link first.
	const std::string via =
	        r.out.find(mount + "/l:41/bB") != std::string::npos ? "/l:41" : "/a:41";
	EXPECT_NE(r.out.find(back("/a:41", "/aA")), std::string::npos);
	EXPECT_NE(r.out.find(back(via + "/b:42", via + "/bB") +
	                     back(via + "/b:42/c:43", via + "/b:42/cC")),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find(back("/x -> y:41/p:41 -> q:42", "/x -> y:41/pA -> qB")),
	          std::string::npos);
	EXPECT_TRUE(r.out.ends_with(
	        "\n11 reverted, 0 already reverted, 0 missing, 0 refused, 0 unparseable, "
	        "0 failed in the run\n"))
	        << r.out;
}

TEST_F(undo_run, exact_output_and_a_second_undo_finds_everything_reverted)
{
	make_dir(mount + "/d:41");
	write_file(mount + "/d:41/f:42", "");
	run();
	const std::string summary = ", 0 missing, 0 refused, 0 unparseable, 0 failed in the run\n";

	run_result first = undo();
	run_result second = undo({"--run", "1"});

	EXPECT_EQ(first.status, 0);
	EXPECT_EQ(first.out, named_run(1) + back("/d:41", "/dA") + back("/d:41/f:42", "/d:41/fB") +
	                             "2 reverted, 0 already reverted" + summary);
	EXPECT_EQ(second.status, 0);
	EXPECT_EQ(second.out, named_run(1) + "already reverted: " + back("/d:41", "/dA") +
	                              "already reverted: " + back("/d:41/f:42", "/d:41/fB") +
	                              "0 reverted, 2 already reverted" + summary);
	EXPECT_EQ(names(mount + "/d:41"), std::vector<std::string>{"f:42"});
}

// The dry run follows a folder it would rename back to the contents below it.
TEST_F(undo_run, dry_run_prints_the_undo_and_changes_nothing)
{
	make_dir(mount + "/d:41");
	write_file(mount + "/d:41/f:42", "");
	write_file(mount + "/g:43", "");
	run();
	write_file(mount + "/g:43", "taken since");
	const auto converted = tree();

	run_result r = undo({"--dry-run"});

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(tree(), converted);
	EXPECT_NE(r.out.find("would revert: " + back("/d:41", "/dA") +
	                     "would revert: " + back("/d:41/f:42", "/d:41/fB")),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("would refuse (File exists): " + back("/g:43", "/gC")),
	          std::string::npos);
	EXPECT_TRUE(r.out.ends_with("dry run: 2 to revert, 0 already reverted, 0 missing, "
	                            "1 to refuse, 0 unparseable, 0 failed in the run\n"))
	        << r.out;
}

TEST_F(undo_run, failed_rename_of_the_run_is_left_alone)
{
	write_file(mount + "/x:41", "one");
	write_file(mount + "/xA", "two");
	write_file(mount + "/y:42", "three");
	const auto before = tree();
	run();
	ASSERT_NE(log().find("Error: 17 File exists\r\n"), std::string::npos);

	run_result r = undo();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(tree(), before);
	EXPECT_EQ(r.out, named_run(1) + back("/y:42", "/yB") +
	                         "1 reverted, 0 already reverted, 0 missing, "
	                         "0 refused, 0 unparseable, 1 failed in the run\n");
}

// Missing and refused entries are reported, the undo goes on, and nothing is replaced; what
// lies below a folder that stays as it is stays too, even in a folder that took its old name.
// An entry or a folder that another took the place of since the run is not touched.
TEST_F(undo_run, missing_and_refused_entries_are_reported_and_the_undo_goes_on)
{
	make_dir(mount + "/gone:41");
	write_file(mount + "/gone:41/in:41", "");
	make_dir(mount + "/taken:41");
	write_file(mount + "/taken:41/in:41", "moved away");
	write_file(mount + "/f:41", "deleted");
	write_file(mount + "/ok:41", "");
	write_file(mount + "/e:41", "replaced");
	make_dir(mount + "/plain");
	write_file(mount + "/plain/p:41", "");
	run();
	remove_tree(mount + "/gone" + "A");
	ASSERT_EQ(unlink((mount + "/fA").c_str()), 0);
	make_dir(mount + "/taken:41");
	write_file(mount + "/taken:41/inA", "a stranger");
	ASSERT_EQ(unlink((mount + "/eA").c_str()), 0);
	write_file(mount + "/eA", "a stranger");
	ASSERT_EQ(rename((mount + "/plain").c_str(), (mount + "/moved").c_str()), 0);
	make_dir(mount + "/plain");
	write_file(mount + "/plain/pA", "a stranger");

	run_result r = undo();

	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.out.find("missing: " + back("/gone:41", "/goneA") +
	                     "missing: " + back("/gone:41/in:41", "/gone:41/inA")),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("refused (File exists): " + back("/taken:41", "/takenA") +
	                     "refused (folder not renamed back): " +
	                     back("/taken:41/in:41", "/taken:41/inA")),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("missing: " + back("/f:41", "/fA")), std::string::npos);
	EXPECT_NE(r.out.find(back("/ok:41", "/okA")), std::string::npos);
	EXPECT_NE(r.out.find("refused (entry changed since the run): " + back("/e:41", "/eA")),
	          std::string::npos);
	EXPECT_NE(r.out.find("refused (folder changed since the run): " +
	                     back("/plain/p:41", "/plain/pA")),
	          std::string::npos);
	EXPECT_TRUE(r.out.ends_with("\n1 reverted, 0 already reverted, 3 missing, 4 refused, "
	                            "0 unparseable, 0 failed in the run\n"))
	        << r.out;
	EXPECT_EQ(names(mount + "/taken:41"), std::vector<std::string>{"inA"});
	EXPECT_EQ(names(mount + "/takenA"), std::vector<std::string>{"inA"});
	EXPECT_EQ(names(mount), (std::vector<std::string>{"eA", "moved", "ok:41", "plain",
	                                                  "taken:41", "takenA"}));
	EXPECT_EQ(names(mount + "/moved"), std::vector<std::string>{"pA"});
	EXPECT_EQ(read_file(mount + "/eA"), "a stranger");
}

TEST_F(undo_run, chosen_run_of_three_is_taken_back_alone)
{
	write_file(mount + "/one:41", "1");
	run();
	write_file(mount + "/two:41", "2");
	make_dir(mount + "/two:42");
	write_file(mount + "/two:42/in:43", "in");
	auto expected = tree();
	run();
	write_file(mount + "/three:41", "3");
	run();
	expected["/threeA"] = "f3";

	run_result r = undo({"--run", "2"});

	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_EQ(tree(), expected);
	EXPECT_TRUE(r.out.ends_with("\n3 reverted, 0 already reverted, 0 missing, 0 refused, "
	                            "0 unparseable, 0 failed in the run\n"));

	EXPECT_EQ(undo({"--run=3"}).status, 0);
	EXPECT_EQ(names(mount), (std::vector<std::string>{"one:41", "threeA", "two:41", "two:42"}));
}

// Lines of the journal that are no record of the run: one cut short at its end, by a run
// stopped while writing it, is no rename and passes in silence, also once a later run has
// followed it; any other is reported. A format this undo does not know is not read at all.
TEST_F(undo_run, journal_lines_that_are_no_record)
{
	struct journal_case {
		const char *what;
		int status;
		std::string out;  // the end of standard output
		std::string err;
		const char *in_d = "a:41";  // the entry of folder d after the undo
	};
	const std::string summary = " already reverted, 0 missing, 0 refused, ";
	const std::vector<journal_case> cases = {
	        {"cut short at the end", 0,
	         "\n2 reverted, 0" + summary + "0 unparseable, 0 failed in the run\n", ""},
	        {"cut short, then a later run", 0,
	         "\n2 reverted, 0" + summary + "0 unparseable, 0 failed in the run\n", ""},
	        {"a line in the middle", 1,
	         "\nunparseable: no record\n2 reverted, 0" + summary +
	                 "1 unparseable, 0 failed in the run\n",
	         ""},
	        {"bytes no run writes, then a later run", 1,
	         "\n2 reverted, 0" + summary + "1 unparseable, 0 failed in the run\n", ""},
	        {"a line alone in a later run", 1,
	         "\nunparseable: no record\n0 reverted, 0" + summary +
	                 "1 unparseable, 0 failed in the run\n",
	         "", "aA"},
	        {"format 4", 2, "",
	         "mac2cp850-undo: " + journal_path + ": run 1: format not known: 4\n"},
	};
	for (const journal_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		write_file(mount + "/b:41", "");
		make_dir(mount + "/d");
		write_file(mount + "/d/a:41", "");
		run();
		std::string text = journal();
		std::string what = c.what;
		std::string id = text.substr(text.find('\n') + 1, 16);
		std::vector<std::string> args;
		if (what.starts_with("cut short"))
			write_file(journal_path, text + id + " r 1 12 c:4");
		if (what == "cut short, then a later run") {
			write_file(mount + "/c:41", "");
			run();
			args = {"--run", "2"};
		} else if (what == "a line in the middle") {
			std::size_t after_mount_point = text.find(id + " m ");
			after_mount_point = text.find('\n', after_mount_point) + 1;
			write_file(journal_path, text.insert(after_mount_point, "no record\n"));
		} else if (what == "format 4") {
			write_file(journal_path, "mac2cp850-journal 4" + text.substr(19));
		} else if (what != "cut short at the end") {
			write_file(journal_path,
			           text + (what.starts_with("bytes") ? "no record" : ""));
			run();
			write_file(journal_path,
			           journal() + (what.starts_with("bytes") ? "" : "no record\n"));
		}

		run_result r = undo(args);

		EXPECT_EQ(r.status, c.status);
		EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
		EXPECT_EQ(r.err, c.err);
		if (c.status != 2)
			EXPECT_EQ(names(mount + "/d"), std::vector<std::string>{c.in_d});
	}
}

// Records whose names are no names of an entry, among the records of a real run: the one that
// would rename a root-only file beside the mount point through "..", the mount point's own
// identity and no mark to check; ".", "..", an empty name, a NUL byte; a folder record named
// "..", with the identity of the folder above the mount point, and a rename in it. Each is
// reported and passed over; the rest of the run is taken back.
TEST_F(undo_run, journal_names_that_leave_their_folder)
{
	struct name_case {
		const char *what;
		std::vector<std::string> lines;  // after "ID ", "INO" and "TOP" replaced
	};
	const std::vector<name_case> cases = {
	        {"escape to a file beside the mount point",
	         {"r 0 INO - ..%2Fprecious-moved ..%2Fprecious"}},
	        {"slash in the old name only", {"r 0 INO - ..%2Fprecious precious"}},
	        {"dot", {"r 0 INO - . precious"}},
	        {"dot dot", {"r 0 INO - precious .."}},
	        {"empty", {"r 0 INO - precious "}},
	        {"NUL byte", {"r 0 INO - precious%00 precious"}},
	        {"folder named ..", {"d 1 TOP - 0 ..", "r 1 INO - precious-moved precious"}},
	};
	for (const name_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		write_file(mount + "/b:41", "");
		make_dir(mount + "/d");
		write_file(mount + "/d/a:41", "");
		write_file(top + "/precious", "root only");
		ASSERT_EQ(chmod((top + "/precious").c_str(), 0600), 0);
		run();
		struct stat precious, above;
		ASSERT_EQ(stat((top + "/precious").c_str(), &precious), 0);
		ASSERT_EQ(stat(top.c_str(), &above), 0);
		std::string text = journal();
		const std::string id = text.substr(text.find('\n') + 1, 16);
		std::string planted;
		for (std::string line : c.lines) {
			if (std::size_t at = line.find("INO"); at != std::string::npos)
				line.replace(at, 3, std::to_string(precious.st_ino));
			if (std::size_t at = line.find("TOP"); at != std::string::npos)
				line.replace(at, 3,
				             std::to_string(above.st_dev) + " " +
				                     std::to_string(above.st_ino));
			planted += id + " " + line + "\n";
		}
		std::size_t after_mount_point = text.find('\n', text.find(id + " m ")) + 1;
		write_file(journal_path, text.insert(after_mount_point, planted));
		// Everything but the volume, which the run's own records take back.
		auto beside = [this] {
			std::string state = tree_state(top), kept;
			for (std::size_t at = 0, end; at < state.size(); at = end + 1) {
				end = state.find('\n', at);
				if (state.compare(at, 10, "/convmount") != 0 &&
				    state.compare(at, 24, "/records/convert.journal") != 0)
					kept.append(state, at, end + 1 - at);
			}
			return kept;
		};
		const std::string before = beside();

		run_result r = undo();

		EXPECT_EQ(r.status, 1);
		std::string reported;
		for (std::size_t at = 0, end; at < planted.size(); at = end + 1) {
			end = planted.find('\n', at);
			// The undo takes the run back from its end.
			reported.insert(0, "unparseable: " + planted.substr(at, end + 1 - at));
		}
		EXPECT_NE(r.out.find(reported), std::string::npos) << r.out;
		EXPECT_TRUE(r.out.ends_with(
		        "\n2 reverted, 0 already reverted, 0 missing, 0 refused, " +
		        std::to_string(c.lines.size()) + " unparseable, 0 failed in the run\n"))
		        << r.out;
		EXPECT_EQ(beside(), before);
		EXPECT_EQ(read_file(top + "/precious"), "root only");
		EXPECT_EQ(names(mount), (std::vector<std::string>{"b:41", "d"}));
		EXPECT_EQ(names(mount + "/d"), std::vector<std::string>{"a:41"});
	}
}

// On ext4 a file made right after another was deleted takes over its inode number: the undo
// tells it from the file the run renamed by its birth time, or where the file system keeps
// none (128-byte inodes) by its generation, and leaves it alone. Without the marks the undo
// would have renamed it.
TEST_F(undo_run, new_file_with_a_reused_inode_number_is_refused)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to mount an image";
	struct image_case {
		const char *options;  // mkfs.ext4's
		char mark;            // the kind of mark the run records
	};
	const std::vector<image_case> cases = {{"", 'b'}, {"-I 128", 'g'}};
	const std::string img = mount + "/img";
	make_dir(img);
	for (const image_case &c : cases) {
		SCOPED_TRACE(c.options);
		remove_tree(records);
		if (!mount_image(top + "/ext4-" + c.mark + ".img", img, c.options))
			GTEST_SKIP() << "no ext4 image can be loop-mounted here";
		write_file(img + "/f:41", "the run's");
		run();
		struct stat converted, other;
		ASSERT_EQ(stat((img + "/fA").c_str(), &converted), 0);
		ASSERT_EQ(unlink((img + "/fA").c_str()), 0);
		// A file that took another inode keeps it: the next one may take the freed one.
		int tries = 0;
		for (; tries < 100; tries++) {
			write_file(img + "/fA", "a stranger's");
			ASSERT_EQ(stat((img + "/fA").c_str(), &other), 0);
			if (other.st_ino == converted.st_ino)
				break;
			ASSERT_EQ(rename((img + "/fA").c_str(),
			                 (img + "/other" + std::to_string(tries)).c_str()),
			          0);
		}
		ASSERT_EQ(other.st_ino, converted.st_ino) << "inode number not reused";
		std::string text = journal();
		std::size_t rename_at = text.find(" r ");
		ASSERT_NE(rename_at, std::string::npos) << text;
		EXPECT_EQ(text[text.find(' ', text.find(' ', rename_at + 3) + 1) + 1], c.mark)
		        << text;

		run_result r = undo();

		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, named_run(1) + "refused (entry changed since the run): " +
		                         back("/img/f:41", "/img/fA") +
		                         "0 reverted, 0 already reverted, 0 missing, 1 refused, "
		                         "0 unparseable, 0 failed in the run\n");
		EXPECT_EQ(read_file(img + "/fA"), "a stranger's");
		EXPECT_FALSE(exists(img + "/f:41"));

		// The same run recorded without marks, as format 1 records it.
		std::string unmarked;
		for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
			end = text.find('\n', at);
			std::string line = text.substr(at, end - at);
			if (line.starts_with("mac2cp850-journal 3 ")) {
				line[18] = '1';
				line.resize(36);
			} else {
				std::size_t kind = line.find(' ') + 1;
				std::size_t mark = kind;
				for (int field = line[kind] == 'r' || line[kind] == 'm' ? 3 : 4;
				     field > 0; field--)
					mark = line.find(' ', mark) + 1;
				line.erase(mark - 1, line.find(' ', mark) - mark + 1);
			}
			unmarked += line + "\n";
		}
		write_file(journal_path, unmarked);
		run_result blind = undo({"--dry-run"});
		EXPECT_EQ(blind.out,
		          "mac2cp850-undo: run 1 of 1, start not recorded\nmac2cp850-undo: 1 of 1 "
		          "renames and 2 of 2 folders have no mark: they are known by their inode "
		          "number alone\nwould revert: " +
		                  back("/img/f:41", "/img/fA") +
		                  "dry run: 1 to revert, 0 already reverted, 0 missing, "
		                  "0 to refuse, 0 unparseable, 0 failed in the run\n")
		        << unmarked;

		ASSERT_EQ(umount2(img.c_str(), 0), 0);
		mounts.pop_back();
	}
}

// Paths longer than PATH_MAX are reached a folder at a time, with fewer descriptors than levels.
TEST_F(undo_run, paths_beyond_path_max)
{
	std::vector<std::string> levels;
	for (int level = 0; level < 40; level++)
		levels.push_back(std::string(100, static_cast<char>('a' + level % 26)) + ":41");
	make_chain(mount, levels, "f:42");
	run();
	ASSERT_EQ(names(mount), std::vector<std::string>{std::string(100, 'a') + "A"});

	run_result r = undo({}, 24);

	EXPECT_EQ(r.status, 0);
	EXPECT_TRUE(r.out.ends_with("\n41 reverted, 0 already reverted, 0 missing, 0 refused, "
	                            "0 unparseable, 0 failed in the run\n"));
	int fd = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
	for (const std::string &level : levels) {
		int sub = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
		close(fd);
		ASSERT_GE(sub, 0) << level;
		fd = sub;
	}
	EXPECT_EQ(faccessat(fd, "f:42", F_OK, AT_SYMLINK_NOFOLLOW), 0);
	close(fd);
}

// A conversion, then a rerun that renamed nothing: the list shows both, the undo without --run
// takes back the conversion and says so, --run 1 still means the rerun. A journal whose runs
// renamed nothing has nothing to take back.
TEST_F(undo_run, finds_the_last_run_that_renamed)
{
	write_file(mount + "/a:41", "");
	run();
	run();
	std::vector<std::string> times;
	const std::string text = journal();
	for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
		if (text.compare(at, 18, "mac2cp850-journal ") == 0)
			times.push_back(text.substr(at + 37, 20));
	ASSERT_EQ(times.size(), 2u) << text;
	for (const std::string &time : times)
		EXPECT_TRUE(
		        std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
		        << time;
	const std::string rerun_only = work + "/rerun";
	write_file(rerun_only, text.substr(text.find("\nmac2cp850-journal ") + 1));
	ASSERT_EQ(chmod(rerun_only.c_str(), 0600), 0);
	const std::string header = "  run  started                renamed    failed  unreadable\n";
	const std::string none = "0 missing, 0 refused, 0 unparseable, 0 failed in the run\n";
	const std::string undone = back("/a:41", "/aA");
	const std::string on = volume_noted();
	struct run_case {
		std::vector<std::string> args;
		std::string out;
		std::vector<std::string> names;
	};
	const std::vector<run_case> cases = {
	        {{"--list"},
	         header + "    2  " + times[0] + "         1         0           0" + on + "\n" +
	                 "    1  " + times[1] + "         0         0           0" + on + "\n" +
	                 "Without --run, the undo takes back run 2.\n",
	         {"aA"}},
	        {{"--run", "1"}, named_run(1) + "0 reverted, 0 already reverted, " + none, {"aA"}},
	        {{"-n"},
	         named_run(2) + "would revert: " + undone +
	                 "dry run: 1 to revert, 0 already reverted, 0 missing, 0 to refuse, 0 "
	                 "unparseable, 0 failed in the run\n",
	         {"aA"}},
	        {{"--list", "--journal", rerun_only},
	         header + "    1  " + times[1] + "         0         0           0" + on + "\n" +
	                 "No run renamed anything: without --run, the undo does nothing.\n",
	         {"aA"}},
	        {{"--journal", rerun_only},
	         "mac2cp850-undo: no run of " + rerun_only + " renamed anything\n" +
	                 "0 reverted, 0 already reverted, " + none,
	         {"aA"}},
	        {{}, named_run(2) + undone + "1 reverted, 0 already reverted, " + none, {"a:41"}},
	};
	for (const run_case &c : cases) {
		SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
		run_result r = undo(c.args);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(names(mount), c.names);
	}
}

// Undo after undo takes back one run after another, the last first, through a record that a
// stopped run left cut short, then says that none is left; the list says which are taken back.
// A run made on a volume other than the one mounted now is left alone, also by a dry run.
TEST_F(undo_run, undo_after_undo_walks_back_and_another_volume_is_refused)
{
	for (const char *name : {"one:41", "two:41", "three:41"}) {
		write_file(mount + "/" + name, "");
		run();
	}
	std::string text = journal();
	write_file(journal_path, text + text.substr(text.rfind('\n', text.size() - 2) + 1, 20));
	const std::vector<std::string> tails = {"", "; the 1 run after it is taken back",
	                                        "; the 2 runs after it are taken back"};
	const std::vector<std::vector<std::string>> after = {{"oneA", "three:41", "twoA"},
	                                                     {"oneA", "three:41", "two:41"},
	                                                     {"one:41", "three:41", "two:41"}};
	for (std::size_t n = 1; n <= 3; n++) {
		run_result r = undo();
		const std::string named = r.out.substr(0, r.out.find('\n'));
		EXPECT_EQ(r.status, 0);
		EXPECT_TRUE(
		        named.starts_with("mac2cp850-undo: run " + std::to_string(n) + " of 3"));
		EXPECT_EQ(named.substr(named.find(" started ") + 29), tails[n - 1]);
		EXPECT_EQ(names(mount), after[n - 1]);
	}
	EXPECT_EQ(undo().out, "mac2cp850-undo: every run of " + journal_path +
	                              " that renamed anything is taken back\n");
	text = journal();
	EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 * 3 + 3) << text;
	EXPECT_TRUE(std::regex_search(text, std::regex(" u [0-9TZ:-]{20} 1 0 0 0 0 0\n$")));
	const std::string list = undo({"--list"}).out, back = volume_noted() + "  taken back 2";
	std::size_t marked = 0;
	for (std::size_t at = list.find(back); at != std::string::npos;
	     at = list.find(back, at + 1))
		marked++;
	EXPECT_EQ(marked, 3u) << list;
	EXPECT_TRUE(list.ends_with("Every run that renamed anything is taken back: without --run, "
	                           "the undo does nothing.\n"));

	write_file(mount + "/four:41", "");
	run();
	text = journal();
	std::size_t end = text.find('\n', text.rfind("mac2cp850-journal "));
	std::size_t source = text.rfind(' ', text.rfind(' ', end) - 1);
	write_file(journal_path, text.replace(source, end - source, " %2Fdev%2Fother other-uuid"));
	for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-n"}}) {
		run_result r = undo(args);
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "mac2cp850-undo: run 1 was made on /dev/other (UUID other-uuid), "
		                 "but " + mount +
		                         " now holds " + volume_noted().substr(5) + "\n");
	}
	EXPECT_TRUE(undo({"--list"})
	                    .out.ends_with("  on /dev/other (UUID other-uuid), not mounted "
	                                   "now\nWithout --run, the undo "
	                                   "takes back run 1.\n"));
	EXPECT_TRUE(exists(mount + "/fourA"));
}

TEST_F(undo_run, usage_and_unreadable_input)
{
	const std::string usage =
	        "usage: mac2cp850-undo [-n | --dry-run] [--journal FILE] [--run N | --list]\n";
	struct usage_case {
		std::vector<std::string> args;
		std::string err;
	};
	run();
	run();
	const std::vector<usage_case> cases = {
	        {{"--undo"}, "mac2cp850-undo: unknown argument: --undo\n" + usage},
	        {{"extra"}, "mac2cp850-undo: unknown argument: extra\n" + usage},
	        {{"--journal"}, "mac2cp850-undo: option needs a value: --journal\n" + usage},
	        {{"--table", "t"}, "mac2cp850-undo: unknown argument: --table\n" + usage},
	        {{"--run", "0"},
	         "mac2cp850-undo: --run needs a whole number of at least 1: 0\n" + usage},
	        {{"--run=-1"},
	         "mac2cp850-undo: --run needs a whole number of at least 1: -1\n" + usage},
	        {{"--run", "2x"},
	         "mac2cp850-undo: --run needs a whole number of at least 1: 2x\n" + usage},
	        {{"--run", "3"}, "mac2cp850-undo: " + journal_path + ": has 2 runs, no run 3\n"},
	        {{"--journal", top}, "mac2cp850-undo: " + top + ": not a regular file\n"},
	        {{"--journal", top + "/none"},
	         "mac2cp850-undo: " + top + "/none: No such file or directory\n"},
	};
	for (const usage_case &c : cases) {
		SCOPED_TRACE(c.args[0]);
		run_result r = undo(c.args);
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}

	for (const char *text : {"", "no run here\n"}) {
		write_file(journal_path, text);
		run_result list = undo({"--list"}), empty = undo();
		EXPECT_EQ(list.status + empty.status, 0);
		EXPECT_EQ(list.out, "mac2cp850-undo: " + journal_path + " holds no runs\n");
		EXPECT_TRUE(empty.out.starts_with(list.out + "0 reverted, 0 already")) << empty.out;
	}

	run_result version = undo({"--version"});
	EXPECT_EQ(version.status, 0);
	EXPECT_EQ(version.out, "mac2cp850-undo " VERSION "\n");
	run_result help = undo({"--dry-run", "--help"});
	EXPECT_EQ(help.status, 0);
	EXPECT_TRUE(help.out.starts_with(usage));
	EXPECT_NE(help.out.find(journal_path), std::string::npos);
}

}  // namespace
