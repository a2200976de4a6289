// Bad table files, record folders that fail, and renames the system refuses: the run never
// hangs or crashes, renames nothing it can't record, and ends with its full report.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "harness.h"

namespace
{

bool sh(const std::string &command)
{
	return std::system((command + " 2>/dev/null").c_str()) == 0;
}

const std::string table_failed = "------------------------------------\r\n"
                                 "Codepage 850 filename conversion\r\nInit...\r\n"
                                 "Reading mac2cp850.tab...FAILED ";

// Undoes the immutable flags that a case set, even when it stopped halfway.
class fault : public e2e
{
protected:
	void TearDown() override
	{
		for (const std::string &path : frozen)
			(void)sh("chattr -i '" + path + "'");
		e2e::TearDown();
	}

	bool bind_read_only(const std::string &dir)
	{
		if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0)
			return false;
		mounts.push_back(dir);
		return ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
		               nullptr) == 0;
	}

	bool freeze(const std::string &path)
	{
		if (!sh("chattr +i '" + path + "'"))
			return false;
		frozen.push_back(path);
		return true;
	}

	// Fills the file system holding `path` with it until nothing more fits.
	static void fill(const std::string &path, std::size_t at_most)
	{
		int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fd, 0);
		std::string block(4096, 'x');
		std::size_t written = 0;
		while (written < at_most && write(fd, block.data(), block.size()) > 0)
			written += block.size();
		close(fd);
	}

	std::vector<std::string> frozen;
};

// A table that can't be opened, or is no regular file, stops the run with "FAILED" and 255,
// never blocking; a regular file loads its first 256 bytes, at most.
TEST_F(fault, table_files_that_are_not_tables)
{
	struct table_case {
		const char *what;
		std::string failed;  // the console's error, or "" when the run completes
		bool converts;       // whether ":41" is decoded
	};
	const std::vector<table_case> cases = {
	        {"FIFO without a writer", "not a regular file", false},
	        {"FIFO whose writer sends nothing", "not a regular file", false},
	        {"FIFO whose writer sends 100 bytes and stays", "not a regular file", false},
	        {"link to /dev/zero", "40 Too many levels of symbolic links", false},
	        {"link to /dev/null", "40 Too many levels of symbolic links", false},
	        {"sparse 1 GiB file", "", true},
	        {"dangling link", "40 Too many levels of symbolic links", false},
	        {"link to itself", "40 Too many levels of symbolic links", false},
	        {"socket", "6 No such device or address", false},
	};
	const std::string table = work + "/mac2cp850.tab";
	for (const table_case &c : cases) {
		SCOPED_TRACE(c.what);
		std::string what = c.what;
		remove_tree(mount);
		make_dir(mount);
		remove_tree(work);
		make_dir(work);
		write_file(mount + "/a:41", "");
		int writer = -1;  // holds a FIFO open for writing, so that reads wait for data
		int listener = -1;
		if (what.rfind("FIFO", 0) == 0) {
			ASSERT_EQ(mkfifo(table.c_str(), 0644), 0);
			if (what != "FIFO without a writer")
				writer = open(table.c_str(), O_RDWR);
			if (what.find("100") != std::string::npos)
				ASSERT_EQ(write(writer, identity_table().data(), 100), 100);
		} else if (what == "link to /dev/zero") {
			make_link("/dev/zero", table);
		} else if (what == "link to /dev/null") {
			make_link("/dev/null", table);
		} else if (what == "sparse 1 GiB file") {
			write_table(identity_table());
			ASSERT_EQ(truncate(table.c_str(), 1L << 30), 0);
		} else if (what == "dangling link") {
			make_link("nothing", table);
		} else if (what == "link to itself") {
			make_link("mac2cp850.tab", table);
		} else if (what == "socket") {
			listener = socket(AF_UNIX, SOCK_STREAM, 0);
			sockaddr_un addr{};
			addr.sun_family = AF_UNIX;
			std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", table.c_str());
			ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr),
			          0);
		}

		run_result r = run_as(0, 60);

		if (writer >= 0)
			close(writer);
		if (listener >= 0)
			close(listener);
		if (c.failed.empty()) {
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.out, report(1, 1, c.converts ? 1 : 0));
			EXPECT_EQ(names(mount),
			          std::vector<std::string>{c.converts ? "aA" : "a:41"});
		} else {
			EXPECT_EQ(r.status, 255);
			EXPECT_EQ(r.out, table_failed + c.failed + "\r\n" + table_hint());
			EXPECT_EQ(names(mount), std::vector<std::string>{"a:41"});
		}
	}
	std::printf("bad table files tried: %zu\n", cases.size() + 1);
}

TEST_F(fault, unreadable_table_for_a_user_other_than_root)
{
	if (!reachable_by(nobody, work))
		GTEST_SKIP() << "user " << nobody << " can't reach the build folder";
	ASSERT_EQ(chmod((work + "/mac2cp850.tab").c_str(), 0), 0);
	write_file(mount + "/a:41", "");

	run_result r = run_as(nobody);

	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, table_failed + "13 Permission denied\r\n" + table_hint());
	EXPECT_EQ(names(mount), std::vector<std::string>{"a:41"});
}

TEST_F(fault, record_folder_full_from_the_start)
{
	if (!mount_tmpfs(records, "size=16k,mode=0755"))
		GTEST_SKIP() << "can't mount a tmpfs";
	fill(records + "/filler", 1 << 20);
	make_chain(mount, std::vector<std::string>(8, "n:41" + std::string(196, 'x')),
	           "n:41" + std::string(196, 'x'));

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(9, 9, 9, withheld(9, log_path + ": 28 No space left on device")));
	EXPECT_EQ(log(), "");
	EXPECT_EQ(names(mount), std::vector<std::string>{"n:41" + std::string(196, 'x')});
}

// The records fill their file system halfway through the run. Every rename that happened has
// its log line and journal record, whole, and the undo takes each one back; every other entry
// keeps its name, and the console says why.
TEST_F(fault, record_folder_fills_up_during_the_run)
{
	if (!mount_tmpfs(records, "size=2m,mode=0755"))
		GTEST_SKIP() << "can't mount a tmpfs";
	const std::string tail(200, 'x');
	std::vector<std::string> folders;
	for (int d = 0; d < 10; d++) {
		folders.push_back("d:41" + std::to_string(d));
		make_dir(mount + "/" + folders.back());
		for (int f = 0; f < 300; f++)
			write_file(mount + "/" + folders.back() + "/f" + std::to_string(f) + ":41" +
			                   tail,
			           "");
	}
	std::map<std::string, std::vector<std::string>> before;
	for (const std::string &d : folders)
		before[d] = names(mount + "/" + d);

	run_result r = run();

	// What was renamed, and the log lines it must have had.
	std::vector<std::string> pairs;
	std::uint64_t kept = 0;
	for (const std::string &d : folders) {
		bool renamed = !exists(mount + "/" + d);
		std::string now = renamed ? "dA" + d.substr(4) : d;
		kept += renamed ? 0 : 1;
		for (const std::string &name : names(mount + "/" + now)) {
			std::string old_name = name;
			if (name.find(':') == std::string::npos) {
				old_name.replace(name.find('A'), 1, ":41");
				pairs.push_back(mount + "/" + d + "/" + old_name + " -> " + mount +
				                "/" + d + "/" + name);
			} else {
				kept++;
			}
		}
		if (renamed)
			pairs.push_back(mount + "/" + d + " -> " + mount + "/" + now);
	}
	ASSERT_GT(pairs.size(), 100u);
	ASSERT_GT(kept, 100u);
	std::string reason =
	        r.out.find(journal_path + ": ") != std::string::npos ? journal_path : log_path;
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out,
	          report(11, 3010, 3010,
	                 withheld(kept,
	                          reason + ": would leave less than 1% of its file system free")));
	std::vector<std::string> logged;
	std::string text = log();
	ASSERT_TRUE(text.starts_with(log_section("", 0, 0, 0).substr(0, 64)));
	for (std::size_t at = 64, end; at < text.size(); at = end + 2) {
		end = text.find("\r\n", at);
		ASSERT_NE(end, std::string::npos) << "a line cut short";
		if (text.compare(at, mount.size(), mount) == 0)
			logged.push_back(text.substr(at, end - at));
	}
	std::sort(pairs.begin(), pairs.end());
	std::sort(logged.begin(), logged.end());
	EXPECT_EQ(logged, pairs);

	run_result back = undo();

	EXPECT_EQ(back.status, 0);
	// The short line that marks the run taken back may still fit where records did not.
	EXPECT_TRUE(back.err.find(": can't mark run 1 taken back: ") != std::string::npos ||
	            journal().find(" u ") != std::string::npos)
	        << back.err;
	EXPECT_TRUE(back.out.ends_with("\n" + std::to_string(pairs.size()) +
	                               " reverted, 0 already reverted, 0 missing, 0 refused, "
	                               "0 unparseable, 0 failed in the run\n"));
	for (const std::string &d : folders)
		EXPECT_EQ(names(mount + "/" + d), before[d]) << d;
	std::printf(
	        "renamed before the records filled up: %zu of 3010, the first withheld for %s\n",
	        pairs.size(), reason.substr(reason.rfind('/') + 1).c_str());
}

// Records that can't all fit on their ext4 file system, which keeps 5% for root: they leave at
// least 1% of its size free to users, however near they come. Every rename made has its whole
// log line and journal record, and the undo takes back exactly those; the others are withheld.
TEST_F(fault, records_leave_the_last_percent_free)
{
	if (!mount_image(top + "/records.img", records, ""))
		GTEST_SKIP() << "no ext4 image can be loop-mounted here";
	const int count = 600;  // about 1.2 kB of records each, some 700 kB in all
	for (int i = 0; i < count; i++)
		write_file(mount + "/" + std::to_string(i) + ":41" + std::string(240, 'x'), "");
	const std::vector<std::string> before = names(mount);
	struct statvfs fs;
	ASSERT_EQ(statvfs(records.c_str(), &fs), 0);
	fill(records + "/filler", (fs.f_bavail - fs.f_blocks / 100) * fs.f_frsize - (256 << 10));

	run_result r = run();

	sync();  // and what writing the records back to disk adds
	ASSERT_EQ(statvfs(records.c_str(), &fs), 0);
	EXPECT_GE(fs.f_bavail * 100, fs.f_blocks);
	std::vector<std::string> pairs;
	for (const std::string &name : names(mount))
		if (name.find(':') == std::string::npos)
			pairs.push_back(mount + "/" + name.substr(0, name.find('A')) + ":41" +
			                std::string(240, 'x') + " -> " + mount + "/" + name);
	ASSERT_GT(pairs.size(), 10u);
	auto reason = r.out.find(journal_path + ":") == std::string::npos ? log_path : journal_path;
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out,
	          report(1, count, count,
	                 withheld(count - pairs.size(),
	                          reason + ": would leave less than 1% of its file system free")));
	const std::string text = log();
	EXPECT_TRUE(text.ends_with("\r\n") && journal().ends_with("\n"));
	for (const std::string &pair : pairs)
		EXPECT_NE(text.find("\r\n" + pair + "\r\n"), std::string::npos) << pair;
	EXPECT_EQ(std::count(text.begin(), text.end(), '>'), static_cast<long>(pairs.size()));

	run_result back = undo();

	EXPECT_EQ(back.status, 0);
	// The short line that marks the run taken back may still fit where records did not.
	EXPECT_TRUE(back.err.find(": can't mark run 1 taken back: ") != std::string::npos ||
	            journal().find(" u ") != std::string::npos)
	        << back.err;
	EXPECT_TRUE(back.out.ends_with("\n" + std::to_string(pairs.size()) +
	                               " reverted, 0 already reverted, 0 missing, 0 refused, "
	                               "0 unparseable, 0 failed in the run\n"));
	EXPECT_EQ(names(mount), before);
}

TEST_F(fault, read_only_record_folder_keeps_its_log)
{
	if (!mount_tmpfs(records, "size=64k,mode=0755"))
		GTEST_SKIP() << "can't mount a tmpfs";
	write_file(log_path, "earlier run\r\n");
	ASSERT_EQ(::mount(nullptr, records.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
	for (int i = 0; i < 12; i++)
		write_file(mount + "/f" + std::to_string(i) + ":41", "");

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(1, 12, 12, withheld(12, log_path + ": 30 Read-only file system")));
	EXPECT_EQ(log(), "earlier run\r\n");
	EXPECT_FALSE(exists(stats_path));
	EXPECT_EQ(names(mount).size(), 12u);
	EXPECT_EQ(names(mount)[0], "f0:41");
}

// No lock, no rename: with no inode left for the lock file, another run may hold the lock of one
// removed since, so nothing is renamed and no record written.
TEST_F(fault, lock_file_that_cannot_be_made)
{
	if (!mount_tmpfs(records, "nr_inodes=2,mode=0755"))
		GTEST_SKIP() << "can't mount a tmpfs";
	write_file(log_path, "earlier run\r\n");
	write_file(mount + "/f:41", "");

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(1, 1, 1, withheld(1, lock_path + ": 28 No space left on device")));
	EXPECT_EQ(log(), "earlier run\r\n");
	EXPECT_EQ(names(mount), std::vector<std::string>{"f:41"});
}

// Records that are FIFOs nobody reads: they can take no record, so nothing is renamed, and the
// run must neither block on them nor stop.
TEST_F(fault, records_that_are_fifos_nobody_reads)
{
	ASSERT_EQ(mkfifo(log_path.c_str(), 0644), 0);
	ASSERT_EQ(mkfifo(stats_path.c_str(), 0644), 0);
	const std::string padding(100, 'p');
	for (int i = 0; i < 5000; i++)
		make_dir(mount + "/" + padding + std::to_string(i) + ":41");

	run_result r = run_as(0, 60);

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out,
	          report(5001, 5000, 5000, withheld(5000, log_path + ": not a regular file")));
	EXPECT_EQ(names(mount)[0], padding + "0:41");
}

// A statistics file that can't be written costs the statistics only.
TEST_F(fault, statistics_file_that_cannot_be_written)
{
	for (const char *kind : {"folder", "immutable"}) {
		SCOPED_TRACE(kind);
		remove_tree(mount);
		make_dir(mount);
		if (exists(stats_path))
			(void)sh("chattr -i '" + stats_path + "'");
		remove_tree(records);
		make_dir(records);
		std::vector<std::string> expected;
		for (int i = 0; i < 12; i++) {
			std::string n = "f" + std::to_string(i);
			write_file(mount + "/" + n + ":41", "");
			std::string line = mount + "/" + n + ":41 -> ";
			line.append(mount).append("/").append(n).append("A");
			expected.push_back(line);
		}
		std::sort(expected.begin(), expected.end());
		if (std::string(kind) == "folder") {
			make_dir(stats_path);
		} else {
			write_file(stats_path, "old");
			if (!freeze(stats_path))
				GTEST_SKIP() << "no immutable files on this file system";
		}

		run_result r = run();

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, report(1, 12, 12));
		EXPECT_EQ(logged_lines(log()), expected);
		std::string summary = log_section("", 1, 12, 12);
		summary.erase(0, summary.find("\r\nFinished"));
		EXPECT_TRUE(log().ends_with(summary));
		if (std::string(kind) == "immutable")
			EXPECT_EQ(read_file(stats_path), "old");
	}
}

// Renames refused by an immutable folder, a read-only mount and a mount point in use: each
// has its error line right after its pair, and the rest of the walk goes on.
TEST_F(fault, renames_refused_by_the_system)
{
	for (const char *dir : {"open", "frozen", "ro", "bound:41"}) {
		make_dir(mount + "/" + dir);
		write_file(mount + "/" + dir + "/f:41", dir);
	}
	if (!freeze(mount + "/frozen"))
		GTEST_SKIP() << "no immutable folders on this file system";
	if (!bind_read_only(mount + "/ro"))
		GTEST_SKIP() << "can't bind mount";
	ASSERT_EQ(::mount((mount + "/bound:41").c_str(), (mount + "/bound:41").c_str(), nullptr,
	                  MS_BIND, nullptr),
	          0);
	mounts.push_back(mount + "/bound:41");

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(5, 8, 5, failed_renames(3)));
	auto pair = [this](const std::string &from, const std::string &to) {
		return mount + "/" + from + " -> " + mount + "/" + to + "\r\n";
	};
	std::string text = log();
	EXPECT_NE(text.find(pair("frozen/f:41", "frozen/fA") +
	                    "Error: 1 Operation not permitted\r\n"),
	          std::string::npos);
	EXPECT_NE(text.find(pair("ro/f:41", "ro/fA") + "Error: 30 Read-only file system\r\n"),
	          std::string::npos);
	EXPECT_NE(text.find(pair("bound:41", "boundA") + "Error: 16 Device or resource busy\r\n"),
	          std::string::npos);
	std::size_t done = text.find(pair("open/f:41", "open/fA"));
	ASSERT_NE(done, std::string::npos);
	EXPECT_NE(text.compare(done + pair("open/f:41", "open/fA").size(), 6, "Error:"), 0);
	std::vector<std::string> lines = logged_lines(text);
	EXPECT_EQ(lines.size(), 8u);
	EXPECT_EQ(names(mount + "/open"), std::vector<std::string>{"fA"});
	EXPECT_EQ(names(mount + "/bound:41"), std::vector<std::string>{"fA"});
	EXPECT_EQ(names(mount + "/frozen"), std::vector<std::string>{"f:41"});
	EXPECT_EQ(names(mount + "/ro"), std::vector<std::string>{"f:41"});
	EXPECT_EQ(read_file(mount + "/ro/f:41"), "ro");
}

// Run by a user other than root, the program renames what that user may rename and logs an
// error line for every other rename.
TEST_F(fault, renames_refused_to_a_user_other_than_root)
{
	if (!reachable_by(nobody, work))
		GTEST_SKIP() << "user " << nobody << " can't reach the build folder";
	ASSERT_EQ(chown(records.c_str(), nobody, nobody), 0);
	make_dir(mount + "/mine");
	ASSERT_EQ(chown((mount + "/mine").c_str(), nobody, nobody), 0);
	write_file(mount + "/mine/f:41", "");
	make_dir(mount + "/theirs");
	write_file(mount + "/theirs/f:41", "");
	make_dir(mount + "/closed");
	ASSERT_EQ(chmod((mount + "/closed").c_str(), 0700), 0);
	write_file(mount + "/closed/f:41", "");
	write_file(mount + "/top:41", "");
	make_dir(mount + "/sticky");
	ASSERT_EQ(chmod((mount + "/sticky").c_str(), 01777), 0);
	write_file(mount + "/sticky/root:41", "");
	write_file(mount + "/sticky/own:41", "");
	ASSERT_EQ(chown((mount + "/sticky/own:41").c_str(), nobody, nobody), 0);

	run_result r = run_as(nobody);

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(4, 9, 5, failed_renames(3)));
	auto pair = [this](const std::string &from, const std::string &to) {
		return mount + "/" + from + " -> " + mount + "/" + to + "\r\n";
	};
	std::string text = log();
	EXPECT_NE(text.find(pair("theirs/f:41", "theirs/fA") + "Error: 13 Permission denied\r\n"),
	          std::string::npos);
	EXPECT_NE(text.find(pair("top:41", "topA") + "Error: 13 Permission denied\r\n"),
	          std::string::npos);
	EXPECT_NE(text.find(pair("sticky/root:41", "sticky/rootA") +
	                    "Error: 1 Operation not permitted\r\n"),
	          std::string::npos);
	EXPECT_EQ(logged_lines(text).size(), 8u);
	EXPECT_EQ(names(mount + "/mine"), std::vector<std::string>{"fA"});
	EXPECT_EQ(names(mount + "/theirs"), std::vector<std::string>{"f:41"});
	EXPECT_EQ(names(mount + "/closed"), std::vector<std::string>{"f:41"});
	EXPECT_EQ(names(mount + "/sticky"), (std::vector<std::string>{"ownA", "root:41"}));
	EXPECT_TRUE(exists(mount + "/top:41"));
}

}  // namespace
