// One run or undo at a time, and no user of the volume can stop them.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "harness.h"

namespace
{

class one_at_a_time : public e2e
{
};

const std::string busy = "another run or undo is using the volume";

TEST_F(one_at_a_time, a_run_or_undo_at_work_stops_the_others_and_nobody_else_does)
{
	enum holder { running, undoing, killed_run, flock_mount, flock_folder };
	enum contender { run_, dry_run_, undo_ };
	struct lock_case {
		const char *what;
		holder holds;
		contender starts;
		int status;  // the contender's
	};
	const std::vector<lock_case> cases = {
	        {"run during a run", running, run_, 255},
	        {"dry run during a run", running, dry_run_, 255},
	        {"undo during a run", running, undo_, 2},
	        {"run during an undo", undoing, run_, 255},
	        {"run after a killed run", killed_run, run_, 0},
	        {"run while a user locks the mount point", flock_mount, run_, 0},
	        {"undo while a user locks a folder of the volume", flock_folder, undo_, 0},
	};
	const std::string refused =
	        report(0, 0, 0).substr(0, report(0, 0, 0).find("done")) + "FAILED " + busy + "\r\n";
	for (const lock_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		make_dir(mount + "/d");
		write_file(mount + "/d/f:41", "");
		remove_tree(records);
		if (c.holds == undoing || c.starts == undo_)
			ASSERT_EQ(run().status, 0);
		write_file(mount + "/g:41", "");  // for a run to convert, or to be stopped at

		run_result r{};
		auto contend = [&] {
			const std::string before = tree_state(top);
			r = c.starts == undo_
			            ? undo()
			            : run_with(c.starts == dry_run_ ? std::vector<std::string>{"-n"}
			                                            : std::vector<std::string>{});
			if (r.status == 0)
				return;
			EXPECT_EQ(tree_state(top), before);
		};
		bool killed = false;
		if (c.holds == running || c.holds == undoing) {
			(void)run_killed(kill_at_rename, 1, killed, contend,
			                 c.holds == undoing ? UNDO_PROGRAM : PROGRAM);
			EXPECT_TRUE(killed);
		} else if (c.holds == killed_run) {
			(void)run_killed(kill_at_rename, 1, killed);
			EXPECT_TRUE(killed);
			contend();
		} else {
			int fd = open((c.holds == flock_mount ? mount : mount + "/d").c_str(),
			              O_RDONLY);
			ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
			contend();
			close(fd);
		}

		EXPECT_EQ(r.status, c.status);
		if (c.starts == run_)
			EXPECT_EQ(r.out, c.status == 0 ? report(2, 3, 2) : refused);
		else
			EXPECT_EQ(r.err,
			          c.status != 0 ? std::string(c.starts == undo_ ? "mac2cp850-undo: "
			                                                        : "mac2cp850: ") +
			                                  busy + "\n"
			          : c.starts == undo_
			                  ? ""
			                  : "mac2cp850: " + mount + ": nothing is mounted there\n");
	}
}

}  // namespace
