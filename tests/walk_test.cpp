// Which folders the walk enters, what it counts, and in which order it converts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "harness.h"

namespace
{

class walk : public e2e
{
};

TEST_F(walk, counts_every_folder_and_entry_dot_names_included)
{
	make_dir(mount + "/a");
	make_dir(mount + "/a/b");
	write_file(mount + "/a/b/f", "");
	write_file(mount + "/a/b/.hidden", "");
	write_file(mount + "/a/g", "");
	make_dir(mount + "/.dot");
	write_file(mount + "/.dot/...", "");
	write_file(mount + "/.p:41", "");

	run_result r = run();

	// Folders: the mount point, a, a/b, .dot; entries: all eight other names.
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(4, 8, 1));
	EXPECT_EQ(names(mount), (std::vector<std::string>{".dot", ".pA", "a"}));
	EXPECT_EQ(names(mount + "/.dot"), std::vector<std::string>{"..."});
}

TEST_F(walk, statistics_follow_folders_and_entries_independently)
{
	for (int i = 0; i < 21; i++)
		make_dir(mount + "/d" + std::to_string(i));

	run_result r = run();

	EXPECT_EQ(r.out, report(22, 21, 0));
	EXPECT_EQ(stats(), stats_text(20, 22));
}

TEST_F(walk, contents_are_converted_before_their_folder)
{
	make_dir(mount + "/a:8a");
	write_file(mount + "/a:8a/b:8a", "x");

	run_result r = run();

	EXPECT_EQ(r.out, report(2, 2, 2));
	EXPECT_EQ(log(), log_section(mount + "/a:8a/b:8a -> " + mount + "/a:8a/b\x8a\r\n" + mount +
	                                     "/a:8a -> " + mount + "/a\x8a\r\n",
	                             2, 2, 2));
	EXPECT_EQ(read_file(mount + "/a\x8a/b\x8a"), "x");
}

// 1,500 levels whose paths outgrow PATH_MAX, walked with far fewer descriptors than levels.
TEST_F(walk, deep_tree_beyond_path_max_under_a_low_file_limit)
{
	const int depth = 1500;
	make_chain(mount, std::vector<std::string>(depth, "level:41"), "f:8e");

	run_result r = run(256);

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(depth + 1, depth + 1, depth + 1));
	std::string path = mount;
	for (int i = 0; i < depth; i++)
		path += "/level:41";
	ASSERT_GT(path.size(), 4096u);
	std::ostringstream body;
	body << path << "/f:8e -> " << path << "/f\x8e\r\n";
	for (int i = depth; i > 0; i--) {
		path.resize(path.size() - 9);
		body << path << "/level:41 -> " << path << "/levelA\r\n";
	}
	EXPECT_EQ(log(), log_section(body.str(), depth + 1, depth + 1, depth + 1));

	int fd = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
	for (int i = 0; i < depth && fd >= 0; i++) {
		int down = openat(fd, "levelA", O_RDONLY | O_DIRECTORY);
		close(fd);
		fd = down;
	}
	ASSERT_GE(fd, 0);
	EXPECT_EQ(faccessat(fd, "f\x8e", F_OK, AT_SYMLINK_NOFOLLOW), 0);
	close(fd);
}

// The walk works with the descriptors actually free, those inherited from the parent counted as
// taken, down to a limit of 10; what it can't enter for want of one fails the run, loudly.
TEST_F(walk, deep_trees_with_few_descriptors_free)
{
	struct limit_case {
		int levels;
		const char *folder;  // each level's folder, holding an entry ":42"
		rlim_t nofile;
		unsigned inherited;  // besides the standard three; with 6, the lock takes the last
		int status;
		std::string out;
	};
	const std::vector<limit_case> cases = {
	        {3000, "d", 1024, 600, 0, report(3001, 6000, 3000)},
	        {300, ":41", 10, 0, 0, report(301, 600, 600)},
	        {2, ":41", 10, 6, 1,
	         report(1, 0, 0, "Folders not walked in full for want of file descriptors: 1\r\n")},
	};
	for (const limit_case &c : cases) {
		SCOPED_TRACE(c.levels);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		int fd = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
		for (int i = 0; i < c.levels; i++) {
			close(openat(fd, ":42", O_WRONLY | O_CREAT, 0644));
			ASSERT_EQ(mkdirat(fd, c.folder, 0755), 0);
			int down = openat(fd, c.folder, O_RDONLY | O_DIRECTORY);
			close(fd);
			fd = down;
		}
		close(fd);

		run_result r = run(c.nofile, false, c.inherited);

		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.status, c.status);
		fd = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
		const std::string folder = c.folder == std::string(":41") ? "A" : c.folder;
		int converted = 0;
		for (int i = 0; i < c.levels && fd >= 0; i++) {
			converted += faccessat(fd, "B", F_OK, AT_SYMLINK_NOFOLLOW) == 0;
			int down = openat(fd, folder.c_str(), O_RDONLY | O_DIRECTORY);
			close(fd);
			fd = down;
		}
		close(fd);
		EXPECT_EQ(converted, c.status == 0 ? c.levels : 0);
	}
}

// Every path below `root` (links not followed), sorted.
void list_paths(const std::string &root, const std::string &rel, std::vector<std::string> &out)
{
	for (const std::string &name : names(root + rel)) {
		std::string path = rel + "/" + name;
		out.push_back(path);
		struct stat st;
		if (lstat((root + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
			list_paths(root, path, out);
	}
}

// The journal with what differs from one copy of a tree to the next replaced: its run id, the
// device and inode numbers of what lies below `root` by the entries' paths, and the marks of
// identity beside them (birth times, generations).
std::string comparable_journal(const std::string &journal, const std::string &root)
{
	std::map<std::string, std::string> label;
	struct stat st;
	if (lstat(root.c_str(), &st) == 0) {
		label[std::to_string(st.st_dev)] = "<dev>";
		label[std::to_string(st.st_ino)] = "<.>";
	}
	std::vector<std::string> paths;
	list_paths(root, "", paths);
	for (const std::string &path : paths)
		if (lstat((root + path).c_str(), &st) == 0)
			label[std::to_string(st.st_ino)] = "<" + path + ">";
	std::size_t header_end = journal.find('\n');
	const std::string magic = "mac2cp850-journal 3 ";
	if (header_end < magic.size() + 16 + 21 || !journal.starts_with(magic))
		return "no header: " + journal;
	label[journal.substr(magic.size(), 16)] = "<run>";
	label[journal.substr(magic.size() + 17, 20)] = "<time>";
	std::string out;
	std::size_t at = 0;
	while (at < journal.size()) {
		std::size_t end = journal.find_first_of(" \n", at);
		if (end == std::string::npos)
			end = journal.size();
		std::string token = journal.substr(at, end - at);
		auto found = label.find(token);
		bool mark = token.size() > 1 && (token[0] == 'b' || token[0] == 'g') &&
		            token.find_first_not_of("0123456789.", 1) == std::string::npos;
		out += found != label.end() ? found->second : mark ? "<mark>" : token;
		if (end < journal.size())
			out += journal[end];
		at = end + 1;
	}
	return out;
}

// Whatever --read-ahead says, the walk keeps the same descriptors for itself, so it decides the
// same: a link listed before its target at each level of a chain deeper than the limit is
// followed down to the same depth, with and without threads (the test copy starts them at
// once), and the records are the same.
TEST_F(walk, read_ahead_setting_changes_no_record_under_low_file_limits)
{
	struct setting {
		const char *program;
		std::vector<std::string> args;
	};
	const std::vector<setting> settings = {
	        {PLAIN_PROGRAM, {"--read-ahead", "0"}},
	        {PLAIN_PROGRAM, {}},
	        {READAHEAD_PROGRAM, {}},
	};
	// The file system lists names in the same order in every folder: the first two of a probe
	// become a link and, listed after it, its target.
	make_dir(mount + "/probe");
	for (char c = '0'; c <= '9'; c++)
		write_file(mount + "/probe/n" + std::string(1, c), "");
	DIR *probe = opendir((mount + "/probe").c_str());
	ASSERT_NE(probe, nullptr);
	std::vector<std::string> order;
	while (const dirent *e = readdir(probe))
		if (e->d_name[0] == 'n')
			order.push_back(e->d_name);
	closedir(probe);
	const std::string link = order.at(0);
	const std::string target = order.at(1);
	for (rlim_t nofile : {16, 40, 64, 100}) {
		SCOPED_TRACE(nofile);
		std::vector<std::string> seen;
		for (const setting &s : settings) {
			SCOPED_TRACE(s.program +
			             std::string(s.args.empty() ? "" : " --read-ahead 0"));
			remove_tree(mount);
			make_dir(mount);
			remove_tree(records);
			std::string dir = mount;
			for (rlim_t level = 0; level < nofile + 10; level++) {
				make_link(target, dir + "/" + link);
				make_dir(dir + "/" + target);
				write_file(dir + "/" + target + "/f:42", "");
				dir += "/d";
				make_dir(dir);
			}

			run_result r = run_with(s.args, 0, false, nofile, s.program);

			std::vector<std::string> paths;
			list_paths(mount, "", paths);
			std::ostringstream all;
			all << "status " << r.status << "\n" << r.out << r.err << "\n";
			for (const std::string &path : paths)
				all << path << "\n";
			all << log() << stats() << comparable_journal(journal(), mount);
			seen.push_back(all.str());
			EXPECT_EQ(seen.back(), seen.front());
		}
		// Some link was walked through: the case that the budget decides.
		EXPECT_NE(seen.front().find("/" + link + "/f:42 -> "), std::string::npos);
	}
}

// Sets the access time of folder `path` two days back, so that the next listing moves it.
void age(const std::string &path)
{
	timespec times[2] = {{time(nullptr) - 2 * 86400, 0}, {0, UTIME_OMIT}};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

bool listed_since_aged(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && st.st_atime > time(nullptr) - 86400;
}

// Held at its first rename, the walk has entered one of 3,000 folders; the read-ahead, running
// on meanwhile, lists at most 1,024 folders ahead of it, and nothing that links lead to
// outside the volume. Seen in the folders' access times, which a listing moves.
TEST_F(walk, read_ahead_lists_nothing_outside_and_stays_near_the_walk)
{
	const int folders = 3000;
	make_dir(outside + "/o");
	write_file(outside + "/o/f:41", "");
	make_link(outside, mount + "/out");
	make_link("../outside/o", mount + "/rel");
	for (int i = 0; i < folders; i++) {
		make_dir(mount + "/d" + std::to_string(i));
		write_file(mount + "/d" + std::to_string(i) + "/f:41", "");
		age(mount + "/d" + std::to_string(i));
	}
	for (const std::string &dir : {outside, outside + "/o"})
		age(dir);
	DIR *probe = opendir((mount + "/d0").c_str());
	while (probe != nullptr && readdir(probe) != nullptr)
		;
	if (probe != nullptr)
		closedir(probe);
	if (!listed_since_aged(mount + "/d0"))
		GTEST_SKIP() << "this file system keeps no access times";
	age(mount + "/d0");

	// Counted until the count holds still, however slow the machine.
	int listed = -1;
	bool killed;
	(void)run_killed(kill_at_rename, 1, killed, [&] {
		for (int before = -2, tries = 0; listed != before && tries < 100; tries++) {
			std::this_thread::sleep_for(std::chrono::milliseconds(200));
			before = listed;
			listed = 0;
			for (int i = 0; i < folders; i++)
				listed += listed_since_aged(mount + "/d" + std::to_string(i));
		}
	});

	EXPECT_TRUE(killed);
	EXPECT_LE(listed, 1024 + 3);
	if (std::getenv("E2E_READAHEAD") != nullptr)
		EXPECT_GE(listed, 1000);
	EXPECT_FALSE(listed_since_aged(outside));
	EXPECT_FALSE(listed_since_aged(outside + "/o"));
}

TEST_F(walk, link_cycles_and_broken_links_end)
{
	make_dir(mount + "/a");
	make_link("..", mount + "/a/up");
	make_link(mount + "/a", mount + "/a/here");
	make_link("self", mount + "/a/self");
	make_link("nowhere", mount + "/a/dangling");

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(2, 5, 0));
}

TEST_F(walk, link_out_of_the_volume_is_not_followed)
{
	write_file(outside + "/x:41", "");
	make_dir(outside + "/sub:41");
	make_link(outside, mount + "/out:41");
	make_link("../outside", mount + "/relative");

	run_result r = run();

	EXPECT_EQ(r.out, report(1, 2, 1));
	EXPECT_EQ(names(outside), (std::vector<std::string>{"sub:41", "x:41"}));
	EXPECT_EQ(names(mount), (std::vector<std::string>{"outA", "relative"}));
	EXPECT_EQ(log(), log_section(mount + "/out:41 -> " + mount + "/outA\r\n", 1, 2, 1));
}

// Whichever comes first in the listing, the folder or the link to it, is walked; the other
// is not, so that no name is decoded twice.
TEST_F(walk, folder_reached_by_a_link_too_is_walked_once)
{
	make_dir(mount + "/real");
	write_file(mount + "/real/f:3a41", "");
	make_link("real", mount + "/alias");

	run_result r = run();

	EXPECT_EQ(r.out, report(2, 3, 1));
	EXPECT_EQ(names(mount + "/real"), std::vector<std::string>{"f:41"});
}

}  // namespace
