// Records only where no one but root can change them: a record folder, or a folder above it,
// that another user can write is refused, a record file is never opened through a link, and the
// undo reads no journal that another user could have written.
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

class trust : public e2e
{
};

TEST_F(trust, record_folder_that_others_can_change_is_refused)
{
	enum setup {
		records_owned,
		records_0775,
		records_0757,
		top_0757,
		top_sticky,
		records_link_owned,
		records_link_trusted,
		log_link,
		journal_link,
		stats_link,
		lock_link,
	};
	struct trust_case {
		const char *what;
		setup how;
		int status;
		std::string out;     // the run's console after "Accessing..."
		std::string reason;  // refused: what the dry run and the undo say
	};
	const std::string loop = ": 40 Too many levels of symbolic links";
	const std::string converted = report(1, 1, 1);
	const std::string done = converted.substr(converted.find("Accessing...") + 12);
	const std::vector<trust_case> cases = {
	        {"record folder owned by another user", records_owned, 255, "",
	         records + ": owned by user 65534"},
	        {"record folder 0775", records_0775, 255, "",
	         records + ": writable by group or others"},
	        {"record folder 0757", records_0757, 255, "",
	         records + ": writable by group or others"},
	        {"folder above writable by others", top_0757, 255, "",
	         top + ": writable by others and not sticky"},
	        {"folder above writable by others, sticky", top_sticky, 0, done, ""},
	        {"record folder a link owned by another user", records_link_owned, 255, "",
	         records + ": link owned by user 65534"},
	        {"record folder a link owned by root", records_link_trusted, 0, done, ""},
	        {"link as log", log_link, 1,
	         report(1, 1, 1, withheld(1, log_path + loop))
	                 .substr(converted.find("Accessing...") + 12),
	         ""},
	        {"link as journal", journal_link, 1,
	         report(1, 1, 1, withheld(1, journal_path + loop))
	                 .substr(converted.find("Accessing...") + 12),
	         ""},
	        {"link as statistics file", stats_link, 0, done, ""},
	        {"link as lock", lock_link, 255, "",
	         lock_path + ": Too many levels of symbolic links"},
	};
	const std::string refused = converted.substr(0, converted.find("Accessing...") + 12);
	const std::string target = outside + "/target";
	for (const trust_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		write_file(mount + "/a:41", "");
		remove_tree(records);
		remove_tree(outside);
		make_dir(outside);
		write_file(target, "root only\n");
		ASSERT_EQ(chmod(target.c_str(), 0600), 0);
		const std::vector<std::string> record_names = {"convert.log", "convert.journal",
		                                               "runstats.txt", "mac2cp850.lock"};
		if (c.how == records_link_owned || c.how == records_link_trusted) {
			make_dir(outside + "/rec");
			ASSERT_EQ(chmod((outside + "/rec").c_str(), 0700), 0);
			make_link(outside + "/rec", records);
			if (c.how == records_link_owned)
				ASSERT_EQ(lchown(records.c_str(), nobody, nobody), 0);
		} else {
			make_dir(records);
		}
		if (c.how >= log_link)
			make_link(c.how == log_link ? outside + "/absent" : target,
			          records + "/" + record_names[c.how - log_link]);
		if (c.how == records_owned)
			ASSERT_EQ(chown(records.c_str(), nobody, nobody), 0);
		if (c.how == records_0775 || c.how == records_0757)
			ASSERT_EQ(chmod(records.c_str(), c.how == records_0775 ? 0775 : 0757), 0);
		if (c.how == top_0757 || c.how == top_sticky)
			ASSERT_EQ(chmod(top.c_str(), c.how == top_0757 ? 0757 : 01777), 0);
		const std::string before = tree_state(top);
		const std::string outside_before = tree_state(outside);

		run_result dry{}, undone{};
		if (c.status == 255) {
			dry = run_with({"-n"});
			undone = undo();
		}
		run_result r = run();
		const std::string after = tree_state(top);

		ASSERT_EQ(chmod(top.c_str(), 0755), 0);
		if (c.how != records_link_owned && c.how != records_link_trusted) {
			ASSERT_EQ(chown(records.c_str(), 0, 0), 0);
			ASSERT_EQ(chmod(records.c_str(), 0755), 0);
		}
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out,
		          refused + (c.status == 255 ? "FAILED " + c.reason + "\r\n" : c.out));
		EXPECT_EQ(read_file(target), "root only\n");
		EXPECT_FALSE(exists(outside + "/absent"));
		if (c.how != records_link_trusted)
			EXPECT_EQ(tree_state(outside), outside_before);
		if (c.status == 255) {
			EXPECT_EQ(after, before);
			EXPECT_EQ(dry.status, c.how == lock_link ? 0 : 1);
			EXPECT_EQ(dry.err,
			          (c.how == lock_link ? "" : "mac2cp850: " + c.reason + "\n") +
			                  "mac2cp850: " + mount + ": nothing is mounted there\n");
			EXPECT_TRUE(dry.out.ends_with(
			        mount + "/a:41 -> " + mount +
			        "/aA\nChecked folders:  1\nChecked files:    1\n" +
			        "Conversions done: 1\nCollisions:       0\n" +
			        "Keeping escapes:  0\n"))
			        << dry.out;
			EXPECT_EQ(undone.status, 2);
			EXPECT_EQ(undone.out, "");
			EXPECT_EQ(undone.err, "mac2cp850-undo: " + c.reason + "\n");
		} else {
			EXPECT_EQ(names(mount),
			          std::vector<std::string>{c.status == 0 ? "aA" : "a:41"});
		}
		if (c.how == records_link_trusted)
			EXPECT_EQ(read_file(outside + "/rec/convert.log"),
			          log_section(mount + "/a:41 -> " + mount + "/aA\r\n", 1, 1, 1));
	}
}

TEST_F(trust, undo_reads_no_journal_that_others_could_write)
{
	struct journal_case {
		const char *what;
		std::vector<std::string> args;
		int status;
		std::string err;
	};
	const std::string copy = outside + "/j";
	const std::vector<journal_case> cases = {
	        {"journal owned by another user", {}, 2, journal_path + ": owned by user 65534"},
	        {"journal writable by others",
	         {},
	         2,
	         journal_path + ": writable by group or others"},
	        {"copy in a folder writable by others",
	         {"--journal", copy},
	         2,
	         outside + ": writable by group or others"},
	        {"copy owned by root, 0600", {"--journal", copy}, 0, ""},
	        {"copy in the working folder", {"--journal", "j"}, 0, ""},
	};
	for (const journal_case &c : cases) {
		SCOPED_TRACE(c.what);
		remove_tree(mount);
		make_dir(mount);
		write_file(mount + "/a:41", "");
		remove_tree(records);
		ASSERT_EQ(run().status, 0);
		const std::string what = c.what;
		if (what == "journal owned by another user")
			ASSERT_EQ(chown(journal_path.c_str(), nobody, nobody), 0);
		if (what == "journal writable by others")
			ASSERT_EQ(chmod(journal_path.c_str(), 0666), 0);
		if (!c.args.empty()) {
			std::string file = c.args[1] == "j" ? work + "/j" : copy;
			write_file(file, journal());
			ASSERT_EQ(chmod(file.c_str(), 0600), 0);
		}
		if (what == "copy in a folder writable by others")
			ASSERT_EQ(chmod(outside.c_str(), 0757), 0);

		run_result r = undo(c.args);

		ASSERT_EQ(chmod(outside.c_str(), 0755), 0);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err, c.status == 0 ? "" : "mac2cp850-undo: " + c.err + "\n");
		if (c.status == 0)
			EXPECT_EQ(r.out,
			          named_run(1) + mount + "/aA -> " + mount +
			                  "/a:41\n1 reverted, 0 already " +
			                  "reverted, 0 missing, 0 refused, 0 unparseable, 0 " +
			                  "failed in the run\n");
		else
			EXPECT_EQ(r.out, "");
		EXPECT_EQ(names(mount), std::vector<std::string>{c.status == 0 ? "a:41" : "aA"});
		(void)unlink((work + "/j").c_str());
	}
}

}  // namespace
