// Records only where no one but root can change them: a record folder, or a folder above it,
// that another user can write is refused, a record file is never opened through a link, and the
// undo reads no journal that another user could have written. So are folders on FUSE mounts and
// record files that another user could have planted.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

class trust : public e2e
{
};

std::string foreign_file(const std::string &path, const std::string &why)
{
	return path + ": " + why + ": remove it (rm " + path + ") if it is not the program's";
}

TEST_F(trust, record_folder_that_others_can_change_is_refused)
{
	enum setup {
		records_owned,
		records_0775,
		records_0757,
		above_0757,
		above_sticky,
		records_link_owned,
		records_link_trusted,
		log_link,
		journal_link,
		stats_link,
		lock_link,
		lock_foreign_held,
		journal_0620,
		log_0602,
		stats_two_links,
		journal_link_foreign,
		records_on_fuse,
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
	        {"folder above writable by others", above_0757, 255, "",
	         outside + ": writable by others and not sticky"},
	        {"folder above writable by others, sticky", above_sticky, 0, done, ""},
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
	        {"lock of another user's, locked by her", lock_foreign_held, 255, "",
	         foreign_file(lock_path, "owned by user 65534")},
	        {"journal 0620", journal_0620, 255, "",
	         foreign_file(journal_path, "writable by group or others")},
	        {"log 0602", log_0602, 255, "",
	         foreign_file(log_path, "writable by group or others")},
	        {"statistics file with a second name", stats_two_links, 255, "",
	         foreign_file(stats_path, "has 2 links")},
	        {"journal a link owned by another user", journal_link_foreign, 255, "",
	         foreign_file(journal_path, "link owned by user 65534")},
	        {"record folder on a FUSE mount", records_on_fuse, 255, "",
	         records + ": on a FUSE mount (fuse)"},
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
		const bool linked = c.how == records_link_owned || c.how == records_link_trusted ||
		                    c.how == above_0757 || c.how == above_sticky;
		if (linked) {
			make_dir(outside + "/rec");
			ASSERT_EQ(chmod((outside + "/rec").c_str(), 0700), 0);
			make_link(outside + "/rec", records);
			if (c.how == records_link_owned)
				ASSERT_EQ(lchown(records.c_str(), nobody, nobody), 0);
		} else {
			make_dir(records);
		}
		if (c.how >= log_link && c.how <= lock_link)
			make_link(c.how == log_link ? outside + "/absent" : target,
			          records + "/" + record_names[c.how - log_link]);
		int held = -1;  // her lock, held by her process
		const std::string planted[] = {lock_path, journal_path, log_path, stats_path};
		const mode_t modes[] = {0600, 0620, 0602, 0600};
		if (c.how >= lock_foreign_held && c.how <= stats_two_links) {
			const std::string &file = planted[c.how - lock_foreign_held];
			write_file(file, "");
			ASSERT_EQ(chmod(file.c_str(), modes[c.how - lock_foreign_held]), 0);
		}
		if (c.how == stats_two_links)
			ASSERT_EQ(link(stats_path.c_str(), (outside + "/stats").c_str()), 0);
		if (c.how == lock_foreign_held) {
			ASSERT_EQ(chown(lock_path.c_str(), nobody, nobody), 0);
			held = open(lock_path.c_str(), O_RDONLY);
			ASSERT_EQ(flock(held, LOCK_EX), 0);
		}
		if (c.how == journal_link_foreign) {
			make_link(target, journal_path);
			ASSERT_EQ(lchown(journal_path.c_str(), nobody, nobody), 0);
		}
		if (c.how == records_on_fuse && !mount_fuse(outside, records))
			GTEST_SKIP() << "bindfs missing or failing: the FUSE case skipped";
		if (c.how == records_owned)
			ASSERT_EQ(chown(records.c_str(), nobody, nobody), 0);
		if (c.how == records_0775 || c.how == records_0757)
			ASSERT_EQ(chmod(records.c_str(), c.how == records_0775 ? 0775 : 0757), 0);
		if (c.how == above_0757 || c.how == above_sticky)
			ASSERT_EQ(chmod(outside.c_str(), c.how == above_0757 ? 0757 : 01777), 0);
		const std::string before = tree_state(top);
		const std::string outside_before = tree_state(outside);

		run_result dry{}, undone{};
		if (c.status == 255) {
			dry = run_with({"-n"});
			undone = undo();
		}
		run_result r = run();
		const std::string after = tree_state(top);
		(void)close(held);

		if (!linked && c.how != records_on_fuse) {
			ASSERT_EQ(chown(records.c_str(), 0, 0), 0);
			ASSERT_EQ(chmod(records.c_str(), 0755), 0);
		}
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out,
		          refused + (c.status == 255 ? "FAILED " + c.reason + "\r\n" : c.out));
		EXPECT_EQ(read_file(target), "root only\n");
		EXPECT_FALSE(exists(outside + "/absent"));
		if (c.how != records_link_trusted && c.how != above_sticky)
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

// A journal naming a link to a folder outside the volume, with that folder's identity, gets no
// rename there.
TEST_F(trust, undo_follows_no_link_out_of_the_volume)
{
	make_dir(outside + "/t");
	write_file(outside + "/t/fA", "");
	make_link(outside + "/t", mount + "/l");
	struct stat m, t, f;
	ASSERT_EQ(stat(mount.c_str(), &m) | stat((outside + "/t").c_str(), &t) |
	                  stat((outside + "/t/fA").c_str(), &f),
	          0);
	auto n = [](auto value) { return std::to_string(value) + " "; };
	const std::string id = "0123456789abcdef ";
	write_file(journal_path, "mac2cp850-journal 2 " + id + "2026-01-01T00:00:00Z\n" + id +
	                                 "m " + n(m.st_dev) + n(m.st_ino) + "-\n" + id + "l 1 " +
	                                 n(t.st_dev) + n(t.st_ino) + "- 0 l\n" + id + "r 1 " +
	                                 n(f.st_ino) + "- f:41 fA\n");

	run_result r = undo();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, named_run(1) +
	                         "mac2cp850-undo: 1 of 1 renames and 2 of 2 folders have no mark: "
	                         "they are known by their inode number alone\n"
	                         "refused (folder changed since the run): " +
	                         mount + "/l/fA -> " + mount +
	                         "/l/f:41\n0 reverted, 0 already reverted, 0 missing, 1 refused, 0 "
	                         "unparseable, 0 failed in the run\n");
	EXPECT_EQ(names(outside + "/t"), std::vector<std::string>{"fA"});
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
	const std::string fused = top + "/fuse";
	auto foreign = [this](const char *why) { return foreign_file(journal_path, why); };
	const std::vector<journal_case> cases = {
	        {"journal owned by another user", {}, 2, foreign("owned by user 65534")},
	        {"journal writable by others", {}, 2, foreign("writable by group or others")},
	        {"copy in a folder writable by others",
	         {"--journal", copy},
	         2,
	         outside + ": writable by group or others"},
	        {"copy owned by root, 0600", {"--journal", copy}, 0, ""},
	        {"copy in the working folder", {"--journal", "j"}, 0, ""},
	        {"on FUSE", {"--journal", fused + "/j"}, 2, fused + ": on a FUSE mount (fuse)"},
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
		if (what == "on FUSE") {
			make_dir(fused);
			if (!mount_fuse(outside, fused))
				GTEST_SKIP() << "bindfs missing or failing: the FUSE case skipped";
		}

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
