// Names and trees built by someone who wants the run to go wrong: it must rename nothing
// outside the mount point, lose no entry, and neither crash nor hang.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "harness.h"

namespace
{

class hostile : public e2e
{
};

// Each file holds its own first name, so that a swapped or lost content shows.
TEST_F(hostile, names_at_the_limits)
{
	std::string escapes_255 = "L";
	std::string decoded_255 = "L";
	for (int i = 0; i < 84; i++) {
		escapes_255 += ":41";
		decoded_255 += "A";
	}
	escapes_255 += "zz";
	decoded_255 += "zz";
	std::string only_escapes, only_decoded;
	for (int i = 0; i < 85; i++) {
		only_escapes += ":8e";
		only_decoded += "\x8e";
	}
	std::string plain_255(255, 'n');
	std::string cut_255 = std::string(252, 'c') + ":4F";
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {escapes_255, decoded_255},
	        {only_escapes, only_decoded},
	        {plain_255, plain_255},
	        {cut_255, std::string(252, 'c') + "O"},
	        {std::string(253, 'd') + ":4", std::string(253, 'd') + ":4"},
	        {"cr\r:41", "cr\rA"},
	        {"lf\n:41", "lf\nA"},
	        {"to cr:0d", "to cr\r"},
	        {"to lf:0A", "to lf\n"},
	        {"\r\n", "\r\n"},
	        {"\xff\xfe:41", "\xff\xfe"
	                        "A"},
	        {":ff", "\xff"},
	        {"\x80:80", "\x80\x80"},
	        {".:41", ".A"},
	        {"..:41", "..A"},
	        {"...:41", "...A"},
	        {":2e", ":2e"},
	        {":2e:2E", ":2e:2E"},
	        {":2f", ":2f"},
	        {":41", "A"},
	        {":", ":"},
	        {"::", "::"},
	        {":4", ":4"},
	        {":00", ":00"},
	        {"x:3a", "x:"},
	        {"up:4a", "upJ"},
	        {"low:4A", "lowJ"},
	        {"mid:4a:4A", "midJJ"},
	        {" :20", "  "},
	        {"-:41", "-A"},
	};
	std::vector<std::string> expected, logged;
	for (const auto &[name, result] : cases) {
		write_file(mount + "/" + name, name);
		expected.push_back(result);
		if (name != result)
			logged.push_back(mount + "/" + name + " -> " + mount + "/" += result);
	}
	std::sort(expected.begin(), expected.end());
	std::sort(logged.begin(), logged.end());

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, cases.size(), logged.size()));
	EXPECT_EQ(names(mount), expected);
	EXPECT_EQ(logged_lines(log()), logged);
	for (const auto &[name, result] : cases)
		EXPECT_EQ(read_file(mount + "/" + result), name) << result;
	std::printf("hostile names tried: %zu\n", cases.size());
}

// A table can decode a name to "." or "..", or two names to one: each such rename is
// refused with its error line, and both entries stay.
TEST_F(hostile, names_that_decode_onto_others)
{
	std::string table = identity_table();
	table[0x2d] = '.';
	write_table(table);
	make_dir(mount + "/dots");
	write_file(mount + "/dots/:2d", "one");
	make_dir(mount + "/dots/:2d:2d");
	make_dir(mount + "/cases");
	write_file(mount + "/cases/:c9", "lower");
	write_file(mount + "/cases/:C9", "upper");

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(4, 6, 4, failed_renames(3)));
	EXPECT_EQ(names(mount + "/dots"), (std::vector<std::string>{":2d", ":2d:2d"}));
	EXPECT_EQ(read_file(mount + "/dots/:2d"), "one");
	std::vector<std::string> cases = names(mount + "/cases");
	ASSERT_EQ(cases.size(), 2u);
	EXPECT_EQ(cases[1], "\xc9");
	std::string kept = cases[0];
	EXPECT_TRUE(kept == ":c9" || kept == ":C9") << kept;
	EXPECT_EQ(read_file(mount + "/cases/" + kept), kept == ":c9" ? "lower" : "upper");
	EXPECT_EQ(read_file(mount + "/cases/\xc9"), kept == ":c9" ? "upper" : "lower");
	std::vector<std::string> lines = logged_lines(log());
	EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
	                        [](const std::string &l) { return l.rfind("Error: ", 0) == 0; }),
	          3);
	EXPECT_NE(log().find(mount + "/cases/" + kept + " -> " + mount +
	                     "/cases/\xc9\r\nError: 17 File exists\r\n"),
	          std::string::npos);
}

// Links out of the volume (absolute, relative, to the root), into a cycle, to themselves, to
// nothing, to a device, to a FIFO and to /proc: none leads the walk out, into a loop, or into
// a wait.
TEST_F(hostile, links_lead_nowhere_outside)
{
	make_dir(outside + "/t:41");
	write_file(outside + "/t:41/f:41", "outside");
	make_dir(mount + "/in");
	write_file(mount + "/in/g:41", "inside");
	make_link(outside, mount + "/abs:41");
	make_link("../outside/t:41", mount + "/rel");
	make_link("../../../outside", mount + "/in/deep");
	make_link("/", mount + "/root");
	make_link("/proc/self/cwd", mount + "/cwd");
	make_link("/dev/zero", mount + "/zero");
	make_link("b", mount + "/in/a");
	make_link("a", mount + "/in/b");
	make_link("self:41", mount + "/in/self:41");
	make_link("nothing", mount + "/in/dangling");
	make_link("..", mount + "/in/up");
	make_link(mount, mount + "/in/mount");
	ASSERT_EQ(mkfifo((mount + "/in/pipe:41").c_str(), 0644), 0);
	make_link("pipe:41", mount + "/in/to_pipe");
	std::map<std::string, std::string> outside_before = snapshot(outside);

	run_result r = run_as(0, 60);

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(2, 16, 4));
	EXPECT_EQ(snapshot(outside), outside_before);
	EXPECT_EQ(names(mount),
	          (std::vector<std::string>{"absA", "cwd", "in", "rel", "root", "zero"}));
	EXPECT_EQ(names(mount + "/in"),
	          (std::vector<std::string>{"a", "b", "dangling", "deep", "gA", "mount", "pipeA",
	                                    "selfA", "to_pipe", "up"}));
}

// While runs go on, other threads keep exchanging folders inside the volume with links to
// folders outside it. The walk holds each folder open and renames relative to it, so
// whichever it finds at a name, it renames nothing outside and loses nothing inside.
TEST_F(hostile, folders_swapped_for_links_out_during_runs)
{
	const int pairs = 8;
	const int runs = 40;
	std::vector<int> folders;
	for (int p = 0; p < pairs; p++) {
		std::string n = std::to_string(p);
		make_dir(outside + "/t" + n);
		write_file(outside + "/t" + n + "/x:41", "outside");
		make_dir(outside + "/t" + n + "/sub:41");
		make_dir(mount + "/sw" + n);
		make_link(outside + "/t" + n, mount + "/sl" + n);
		int fd = open((mount + "/sw" + n).c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_GE(fd, 0);
		folders.push_back(fd);
	}
	for (int i = 0; i < 200; i++)
		write_file(mount + "/pad" + std::to_string(i) + ":41", "");
	std::map<std::string, std::string> outside_before = snapshot(outside);

	std::atomic<bool> stop{false};
	std::atomic<unsigned long> swaps{0};
	auto swapper = [&](int first) {
		int root = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
		while (!stop) {
			for (int p = first; p < pairs; p += 2) {
				std::string n = std::to_string(p);
				if (renameat2(root, ("sw" + n).c_str(), root, ("sl" + n).c_str(),
				              RENAME_EXCHANGE) == 0)
					swaps++;
			}
		}
		close(root);
	};
	std::thread even(swapper, 0);
	std::thread odd(swapper, 1);
	int created = 0;
	bool all_done = true;
	for (int i = 0; i < runs; i++) {
		for (int fd : folders) {
			int f = openat(fd, ("f" + std::to_string(i) + ":41").c_str(),
			               O_WRONLY | O_CREAT | O_EXCL, 0644);
			all_done = all_done && f >= 0;
			close(f);
		}
		created++;
		run_result r = run_as(0, 60);
		all_done = all_done && r.status == 0;
	}
	stop = true;
	even.join();
	odd.join();

	EXPECT_TRUE(all_done);
	EXPECT_EQ(snapshot(outside), outside_before);
	for (int fd : folders) {
		int copy = dup(fd);
		DIR *d = fdopendir(copy);
		ASSERT_NE(d, nullptr);
		int count = 0;
		while (const dirent *e = readdir(d))
			count += e->d_name[0] != '.';
		closedir(d);
		EXPECT_EQ(count, created);
		close(fd);
	}
	EXPECT_EQ(names(mount).size(), 200u + 2 * pairs);
	EXPECT_GT(swaps.load(), 0u);
	std::printf("runs under folder and link exchanges: %d, exchanges: %lu\n", runs,
	            swaps.load());
}

// Names and links that once steered the undo, when it read the text log, into entries the run
// never touched: a chain of folders whose names, with the run's paths around them, read as the
// log line of a rename of boss/budget.xls; the folder of two renames swapped for a link to boss
// after the run; a name holding a log's or a journal's run boundary. The undo renames back only
// what the run renamed, and refuses, with its reason, what it can't reach as the run left it.
TEST_F(hostile, undo_takes_back_only_what_the_run_did)
{
	struct attack {
		const char *what;
		int status;
		std::string summary;
	};
	const std::string none = " already reverted, 0 missing, ";
	const std::vector<attack> cases = {
	        {"forged chain", 0, "2 reverted, 0" + none + "0 refused, 0 unparseable"},
	        {"link planted after the run", 1,
	         "0 reverted, 0" + none + "2 refused, 0 unparseable"},
	        {"forged run boundaries", 0, "3 reverted, 0" + none + "0 refused, 0 unparseable"},
	};
	for (const attack &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		make_dir(mount + "/boss");
		write_file(mount + "/boss/budget.xls", "victim");
		write_file(mount + "/boss/Projects", "victim");
		std::string what = c.what;
		if (what == "forged chain") {
			std::vector<std::string> chain{"p\r\n"};
			std::vector<std::string> parts;
			for (std::size_t at = 1, slash; at < mount.size(); at = slash + 1) {
				slash = std::min(mount.find('/', at), mount.size());
				parts.push_back(mount.substr(at, slash - at));
			}
			chain.insert(chain.end(), parts.begin(), parts.end());
			chain.insert(chain.end(), {"boss", "budget.xl:73 -> "});
			chain.insert(chain.end(), parts.begin(), parts.end());
			chain.insert(chain.end(), {"boss", "budget.xls"});
			for (int i = 0; i < 9; i++)
				chain.back() += "\r\n";
			make_chain(mount, chain, "x:41");
		} else if (what == "link planted after the run") {
			make_dir(mount + "/att");
			make_dir(mount + "/att/d");
			write_file(mount + "/att/d/budget.xl:73", "theirs");
			write_file(mount + "/att/d/Project:73", "theirs");
		} else {
			const std::string header = log_section("", 1, 0, 0);
			write_file(mount + "/a:41\r\n\r\nFinished\r\n" + header.substr(0, 64), "");
			write_file(mount + "/b:41\nmac2cp850-journal 1 0123456789abcdef\n", "");
			write_file(mount + "/c:41%0A%20mac2cp850-journal%201", "");
		}
		const std::map<std::string, std::string> before = snapshot(mount);

		run_result r = run();
		ASSERT_EQ(r.status, 0) << r.out;
		if (what == "forged chain")
			ASSERT_NE(log().find("\r\n" + mount + "/boss/budget.xl:73 -> " + mount +
			                     "/boss/budget.xls\r\n"),
			          std::string::npos);
		if (what == "link planted after the run") {
			ASSERT_EQ(rename((mount + "/att/d").c_str(), (mount + "/att/old").c_str()),
			          0);
			make_link("../boss", mount + "/att/d");
		}
		const std::map<std::string, std::string> planted = snapshot(mount);
		run_result back = undo();

		EXPECT_EQ(back.status, c.status) << back.out;
		EXPECT_NE(back.out.find("\n" + c.summary + ", 0 failed in the run\n"),
		          std::string::npos)
		        << back.out;
		if (c.status == 0) {
			EXPECT_EQ(snapshot(mount), before);
		} else {
			EXPECT_EQ(snapshot(mount), planted);
			EXPECT_NE(back.out.find("refused (folder changed since the run): " + mount +
			                        "/att/d/budget.xls -> "),
			          std::string::npos);
		}
		EXPECT_EQ(names(mount + "/boss"),
		          (std::vector<std::string>{"Projects", "budget.xls"}));
	}
}

// 200,000 entries in one folder: every one is checked, every escaped one converted once.
TEST_F(hostile, flat_folder_of_200000_entries)
{
	const int count = 200000;
	int dir = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(dir, 0);
	std::vector<std::string> expected;
	expected.reserve(count);
	int converted = 0;
	for (int i = 0; i < count; i++) {
		std::string n = std::to_string(i);
		std::string name = i % 3 == 0 ? "e" + n + ":8e" : "p" + n;
		int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
		ASSERT_GE(fd, 0) << name;
		close(fd);
		expected.push_back(i % 3 == 0 ? "e" + n + "\x8e" : name);
		converted += i % 3 == 0;
	}
	close(dir);
	std::sort(expected.begin(), expected.end());

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, count, converted));
	EXPECT_TRUE(names(mount) == expected);
	EXPECT_EQ(logged_lines(log()).size(), static_cast<std::size_t>(converted));
	EXPECT_EQ(log().find("Error:"), std::string::npos);
}

}  // namespace
