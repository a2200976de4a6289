// The log and the statistics file while a run keeps them open: what reaches them, and when an
// open that failed is tried again.
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

class records_kept_open : public e2e
{
protected:
	void files(const std::string &dir, int count)
	{
		for (int i = 0; i < count; i++)
			write_file(dir + "/f" + std::to_string(i), "");
	}
};

// The statistics file is written over in place: whatever it held before the run, longer or
// shorter than the texts, it ends as exactly the last text. 121 files: rewrites at 11, 22, ...,
// 121 entries, the last one a byte longer than the first.
TEST_F(records_kept_open, statistics_file_ends_as_exactly_the_last_text)
{
	const std::size_t first = stats_text(11, 1).size();
	ASSERT_EQ(stats_text(121, 1).size(), first + 1);
	struct old_file {
		const char *what;
		std::string bytes;
	};
	const std::vector<old_file> cases = {
	        {"empty", ""},
	        {"shorter", "old\r\n"},
	        {"as long as the first text", std::string(first, 'x')},
	        {"as long as the last text", std::string(first + 1, 'x')},
	        {"far longer", std::string(10000, 'x')},
	};
	for (const old_file &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		files(mount, 121);
		write_file(stats_path, c.bytes);

		run_result r = run();

		EXPECT_EQ(r.out, report(1, 121, 0));
		EXPECT_EQ(stats(), stats_text(121, 1));
	}
}

// A link in the file's place is never followed, not even once the walk has renamed s:41 to sA
// and its target's folder exists: each write tries the open again, and each passes over it.
TEST_F(records_kept_open, failed_statistics_open_is_tried_again_at_the_next_write)
{
	std::string dir = mount;
	for (int i = 1; i <= 10; i++) {
		dir += "/a" + std::to_string(i);
		make_dir(dir);
	}
	make_dir(dir + "/s:41");
	files(dir + "/s:41", 11);
	make_link(dir + "/sA/runstats.txt", stats_path);

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(12, 22, 1));
	EXPECT_FALSE(exists(dir + "/sA/runstats.txt"));
	EXPECT_EQ(names(records), (std::vector<std::string>{"convert.journal", "convert.log",
	                                                    "mac2cp850.lock", "runstats.txt"}));
}

// Many more rewrites than a pipe holds: a FIFO in the statistics file's place must neither
// block the open nor fill up and stop the run.
TEST_F(records_kept_open, fifo_as_statistics_file_does_not_hang_the_run)
{
	ASSERT_EQ(mkfifo(stats_path.c_str(), 0644), 0);
	files(mount, 10000);
	write_file(mount + "/a:41", "");

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 10001, 1));
	EXPECT_EQ(log(), log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 10001, 1));
	struct stat st;
	ASSERT_EQ(lstat(stats_path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A record is written in full into a file that keeps it, or its rename does not happen: a FIFO
// that nothing reads keeps nothing, and no hang on one either, even for a line longer than a
// pipe holds; nor does a log that can't be opened (a link in its place, never followed, though
// it leads into a folder that the first rename would make) or a journal that is a folder.
TEST_F(records_kept_open, renames_wait_for_records_that_keep_them)
{
	struct record_case {
		const char *what;
		std::string reason;
	};
	const std::vector<record_case> cases = {
	        {"FIFO as log", log_path + ": not a regular file"},
	        {"FIFO as journal", journal_path + ": not a regular file"},
	        {"log that can't be opened", log_path + ": 40 Too many levels of symbolic links"},
	        {"folder as journal", journal_path + ": 21 Is a directory"},
	};
	const std::vector<std::string> levels(160, std::string(250, 'd'));
	for (const record_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		make_dir(records);
		make_chain(mount, levels, "a:41");
		make_dir(mount + "/x:41");
		std::string what = c.what;
		if (what == "FIFO as log")
			ASSERT_EQ(mkfifo(log_path.c_str(), 0644), 0);
		else if (what == "FIFO as journal")
			ASSERT_EQ(mkfifo(journal_path.c_str(), 0644), 0);
		else if (what == "folder as journal")
			make_dir(journal_path);
		else
			make_link(mount + "/xA/convert.log", log_path);

		run_result r = run_as(0, 30);

		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, report(162, 162, 2, withheld(2, c.reason)));
		EXPECT_TRUE(exists(mount + "/x:41"));
		if (what != "FIFO as log")  // reading it would wait for a writer
			EXPECT_EQ(log().find(" -> "), std::string::npos);
	}
}

}  // namespace
