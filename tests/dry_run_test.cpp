// The dry run: what it lists is what the run then does, and it changes nothing.
#include <sys/stat.h>

#include <sstream>

#include "harness.h"

namespace
{

class dry_run : public e2e
{
protected:
	// A table that keeps every ASCII escape, as a site table would, less the entries a case
	// sets; the upper half decodes each code to its own byte.
	void write_mac_table(const std::vector<std::pair<int, char>> &entries)
	{
		std::string table = identity_table();
		std::fill(table.begin(), table.begin() + 0x80, '\0');
		for (const auto &[value, byte] : entries)
			table[value] = byte;
		write_table(table);
	}
};

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// Escapes in files, folders and links; each kind of kept escape; a name taken already, two
// names that decode to one, and a rename that only works after another has freed its name; a
// file system mounted below.
TEST_F(dry_run, lists_what_the_run_then_does_and_changes_nothing)
{
	write_mac_table({{':', ':'}, {'Z', 'Z'}, {0x80, '/'}, {0x81, '\0'}});
	make_dir(mount + "/d:8a");
	write_file(mount + "/d:8a/f:8e", "");
	write_file(mount + "/d:8a/Caf:8e", "");
	write_file(mount + "/d:8a/Caf\x8e", "");
	write_file(mount + "/:c9", "");
	write_file(mount + "/:C9", "");
	write_file(mount + "/q:3a8e", "");
	write_file(mount + "/q:8e", "");
	write_file(mount + "/k:2fx:2E:81:80:81", "");
	write_file(mount + "/m:8ak:2f", "");
	write_file(mount + "/x:3a5a", "");
	make_link("d:8a", mount + "/l:8e");
	make_dir(mount + "/vol");
	bool mounted = mount_tmpfs(mount + "/vol", "size=64k");
	write_file(mount + "/vol/v:8e", "");
	const std::string before = tree_state(top);

	run_result dry = run_with({"--dry-run"});

	EXPECT_EQ(tree_state(top), before);
	EXPECT_TRUE(names(records).empty());
	EXPECT_EQ(dry.status, 1);
	EXPECT_EQ(dry.err, "mac2cp850: " + mount + ": nothing is mounted there\n");
	std::vector<std::string> listed = lines_of(dry.out);
	ASSERT_GT(listed.size(), 6u);
	EXPECT_EQ(listed.front(), "table breaks reruns: :3a gives ':'");
	std::vector<std::string> renames;
	std::vector<std::string> kept;
	std::vector<std::string> mounts_listed;
	for (std::size_t i = 1; i + 5 < listed.size(); i++) {
		const std::string &line = listed[i];
		(line.starts_with("kept (")    ? kept
		 : line.starts_with("mount: ") ? mounts_listed
		                               : renames)
		        .push_back(line);
	}

	run_result r = run();

	// The run's pairs in order, each failed one as the collision foreseen.
	std::vector<std::string> logged;
	std::size_t collisions = 0;
	std::istringstream in(log());
	for (std::string line; std::getline(in, line);) {
		line.pop_back();
		if (line.starts_with("Error: 17 ")) {
			logged.back().insert(0, "collision: ");
			collisions++;
		} else if (line.starts_with(mount + "/")) {
			logged.push_back(line);
		}
	}
	EXPECT_EQ(renames, logged);
	EXPECT_GE(collisions, 2u);
	EXPECT_EQ(mounts_listed, mounted ? std::vector<std::string>{"mount: " + mount + "/vol"}
	                                 : std::vector<std::string>{});
	// One of q:3a8e and q:8e collides, or q:3a8e takes the name that q:8e gave up.
	std::vector<std::string> expected = {
	        "kept (:2f is '/'): " + mount + "/m\x8ak:2f",
	        "kept (:2f is '/', :2E is '.', :81 has no byte in the table, :80 would give "
	        "'/'): " +
	                mount + "/k:2fx:2E:81:80:81",
	        "kept (:5a would be decoded by the next run): " + mount + "/x:5a",
	};
	if (exists(mount + "/q:8e"))
		expected.push_back("kept (:8e would be decoded by the next run): " + mount +
		                   "/q:8e");
	std::sort(kept.begin(), kept.end());
	std::sort(expected.begin(), expected.end());
	EXPECT_EQ(kept, expected);
	std::string counts = r.out.substr(r.out.find("Checked folders:"));
	counts = counts.substr(0, counts.find("\r\n\r\n") + 2);
	std::erase(counts, '\r');
	EXPECT_EQ(std::vector<std::string>(listed.end() - 5, listed.end()),
	          lines_of(counts + "Collisions:       " + std::to_string(collisions) +
	                   "\nKeeping escapes:  " + std::to_string(expected.size()) + "\n"));
}

// Read access is all it needs: a user who can't open the lock file, or can't even look into the
// record folder, goes on without it.
TEST_F(dry_run, works_for_a_user_who_can_only_read)
{
	if (!reachable_by(nobody, work))
		GTEST_SKIP() << "user " << nobody << " can't reach the build folder";
	write_mac_table({});
	write_file(mount + "/a:8e", "");
	make_dir(mount + "/closed");
	ASSERT_EQ(chmod((mount + "/closed").c_str(), 0700), 0);
	write_file(mount + "/closed/b:8e", "");
	write_file(lock_path, "");
	ASSERT_EQ(chmod(lock_path.c_str(), 0600), 0);
	const std::string before = tree_state(top);

	run_result r = run_with({"-n"}, nobody);

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "mac2cp850: " + mount + ": nothing is mounted there\n");
	EXPECT_EQ(r.out, mount + "/a:8e -> " + mount + "/a\x8e\nChecked folders:  1\n" +
	                         "Checked files:    2\nConversions done: 1\nCollisions:       0\n" +
	                         "Keeping escapes:  0\n");
	EXPECT_EQ(tree_state(top), before);

	// Nor does a record folder that this user may not look into make the status 1.
	ASSERT_EQ(chmod(records.c_str(), 0700), 0);
	r = run_with({"-n"}, nobody);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "mac2cp850: can't check the record folder " + records +
	                         " as this user: Permission denied; a run as root checks it\n" +
	                         "mac2cp850: " + mount + ": nothing is mounted there\n");
}

}  // namespace

// An escape of ASCII text is neither listed nor counted; new names read right on a terminal
// whose charset is another, and stay exact in a pipe; a short table and a mount point with
// nothing mounted are told on standard error.
TEST_F(dry_run, reads_well_on_a_terminal_and_warns)
{
	write_file(mount + "/Meeting 10:30.txt", "");
	write_file(mount + "/Caf:8e.txt", "");
	write_file(mount + "/x:8f", "");
	const std::string m = mount + "/";
	const std::string unmounted = "mac2cp850: " + mount + ": nothing is mounted there\n";
	const std::string short_table =
	        "mac2cp850: mac2cp850.tab: 10 bytes, not 256: the missing entries keep their "
	        "escapes\n";
	struct display_case {
		std::vector<std::string> args;
		const char *locale;  // nullptr: standard output is a pipe
		bool full_table;
		std::vector<std::string> lines;
		std::string err;
	};
	// The table gives CP850's e acute for :8e, and an escape character for :8f.
	const std::vector<display_case> cases = {
	        {{"-n"},
	         nullptr,
	         true,
	         {m + "Caf:8e.txt -> " + m + "Caf\x82.txt", m + "x:8f -> " + m + "x\x1b"},
	         unmounted},
	        {{"-n"},
	         "C.UTF-8",
	         true,
	         {m + "Caf:8e.txt -> " + m + "Caf\xc3\xa9.txt", m + "x:8f -> " + m + "x\\x1B"},
	         unmounted},
	        {{"-n", "--to=UTF-8"},
	         "C.UTF-8",
	         true,
	         {m + "Caf:8e.txt -> " + m + "Caf\xc3\xa9.txt", m + "x:8f -> " + m + "x\xc3\xa8"},
	         unmounted},
	        {{"-n", "--to=UTF-8"},
	         "C",
	         true,
	         {m + "Caf:8e.txt -> " + m + "Caf\\xC3\\xA9.txt",
	          m + "x:8f -> " + m + "x\\xC3\\xA8"},
	         unmounted},
	        {{"-n"},
	         nullptr,
	         false,
	         {"kept (:8e has no byte in the table): " + m + "Caf:8e.txt",
	          "kept (:8f has no byte in the table): " + m + "x:8f"},
	         short_table + unmounted},
	};
	const std::string before = tree_state(mount);
	for (const display_case &c : cases) {
		SCOPED_TRACE(c.args.back() + (c.locale != nullptr ? c.locale : " piped"));
		if (c.full_table)
			write_mac_table({{0x8e, '\x82'}, {0x8f, '\x1b'}});
		else
			write_table(std::string(10, '\0'));

		run_result r =
		        c.locale != nullptr ? run_on_terminal(c.args, c.locale) : run_with(c.args);

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, c.err);
		std::vector<std::string> listed = lines_of(r.out);
		ASSERT_EQ(listed.size(), c.lines.size() + 5) << r.out;
		std::vector<std::string> kept = c.full_table ? std::vector<std::string>{} : c.lines;
		EXPECT_EQ(listed.back(), "Keeping escapes:  " + std::to_string(kept.size()));
		listed.resize(c.lines.size());
		std::sort(listed.begin(), listed.end());
		EXPECT_EQ(listed, c.lines);
	}
	EXPECT_EQ(tree_state(mount), before);
}
