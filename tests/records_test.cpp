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

// The file opens only once the walk has renamed s:41 to sA: the writes at the 11th folder
// and the 11th entry fail, the one at the 22nd entry reaches it.
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
	EXPECT_EQ(read_file(dir + "/sA/runstats.txt"), stats_text(22, 12));
}

// The log opens only once x:41 has become xA: the first conversion line is lost, the second
// one comes after the header, and the rest of the run goes to the same file though the folder
// it lies in is renamed right after.
TEST_F(records_kept_open, log_opened_late_gets_the_header_and_the_rest_of_the_run)
{
	make_dir(mount + "/p:41");
	make_dir(mount + "/p:41/x:41");
	make_link(mount + "/p:41/xA/convert.log", log_path);

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(3, 2, 2));
	EXPECT_EQ(names(mount + "/pA/xA"), std::vector<std::string>{"convert.log"});
	EXPECT_EQ(read_file(mount + "/pA/xA/convert.log"),
	          log_section(mount + "/p:41 -> " + mount + "/pA\r\n", 3, 2, 2));
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

// A FIFO is no file to keep open: nothing reads it, and more text than a pipe holds would
// stop the run. Each text is lost as before, and the run ends.
TEST_F(records_kept_open, fifo_as_log_does_not_hang_the_run)
{
	ASSERT_EQ(mkfifo(log_path.c_str(), 0644), 0);
	for (int i = 0; i < 1000; i++)
		write_file(mount + "/a:41" + std::to_string(i), "");

	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 1000, 1000));
	std::vector<std::string> converted = names(mount);
	EXPECT_EQ(converted.size(), 1000u);
	EXPECT_EQ(converted.front(), "aA0");
}

// One line longer than a pipe holds must not stop the run either.
TEST_F(records_kept_open, fifo_as_log_takes_no_line_longer_than_a_pipe)
{
	ASSERT_EQ(mkfifo(log_path.c_str(), 0644), 0);
	make_chain(mount, std::vector<std::string>(160, std::string(250, 'd')), "a:41");

	run_result r = run_as(0, 30);

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(161, 161, 1));
}

}  // namespace
