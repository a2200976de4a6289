// A run killed at any moment loses nothing: a later run completes the conversion, every file
// keeps its content, the log accounts for every rename that happened, and the undo of every run,
// last first, gives back the tree as it was built.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "harness.h"

namespace
{

std::string join(const std::string &dir, const std::string &name)
{
	std::string path = dir;
	path += '/';
	path += name;
	return path;
}

// Settings that a longer soak run (tests/safety_soak.sh) raises through the environment.
unsigned long setting(const char *name, unsigned long fallback)
{
	const char *value = std::getenv(name);
	return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : fallback;
}

// Entries that still need conversion: the names built to need it begin with 'e'.
std::uint64_t unconverted(const std::string &dir)
{
	std::uint64_t count = 0;
	for (const std::string &name : names(dir)) {
		if (name[0] == 'e' && name.find(':') != std::string::npos)
			count++;
		struct stat st;
		std::string path = join(dir, name);
		if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
			count += unconverted(path);
	}
	return count;
}

// The first few entries on which two trees differ.
std::string differences(const std::map<std::string, std::string> &a,
                        const std::map<std::string, std::string> &b)
{
	std::string text;
	int shown = 0;
	for (const auto &[path, sum] : a) {
		auto found = b.find(path);
		if ((found == b.end() || found->second != sum) && shown++ < 5)
			text += "only or different in the first: " + path + "\n";
	}
	for (const auto &[path, sum] : b)
		if (a.count(path) == 0 && shown++ < 5)
			text += "only in the second: " + path + "\n";
	return text;
}

class killed_run : public e2e
{
protected:
	// Entry `i`'s name and the name it must end with. Every third needs conversion: a prefix
	// unique to it, then one to three escapes of values that decode to no ':', '.' or '/'.
	// Some of the others hold an escape that is kept.
	static std::pair<std::string, std::string> entry_name(unsigned long i, std::mt19937_64 &rng)
	{
		if (i % 3 != 0) {
			std::string name = "p" + std::to_string(i);
			if (i % 3 == 1 && rng() % 4 == 0)
				name += ":2e";
			return {name, name};
		}
		std::string raw = "e" + std::to_string(i) + "_";
		std::string done = raw;
		for (unsigned long k = 1 + rng() % 3; k > 0; k--) {
			unsigned v;
			do
				v = 0x20 + static_cast<unsigned>(rng() % 0xe0);
			while (v == 0x2e || v == 0x2f || v == 0x3a);
			char hex[3];
			std::snprintf(hex, sizeof hex, rng() % 2 != 0 ? "%02x" : "%02X", v);
			raw += ':';
			raw += hex;
			done += static_cast<char>(v);
			if (rng() % 2 != 0) {
				raw += 'x';
				done += 'x';
			}
		}
		return {raw, done};
	}

	// Builds `tops` folders of `subs` folders of `files` files each; fills `before` and
	// `after` with the tree as built and as it must end.
	void build(unsigned long tops, unsigned long subs, unsigned long files,
	           std::mt19937_64 &rng)
	{
		unsigned long i = 0;
		for (unsigned long t = 0; t < tops; t++) {
			auto [top_raw, top_done] = entry_name(i++, rng);
			make_dir(mount + "/" + top_raw);
			before["/" + top_raw] = after["/" + top_done] = "/";
			for (unsigned long s = 0; s < subs; s++) {
				auto [sub_raw, sub_done] = entry_name(i++, rng);
				std::string raw = join(join("", top_raw), sub_raw);
				std::string done = join(join("", top_done), sub_done);
				make_dir(mount + raw);
				before[raw] = after[done] = "/";
				for (unsigned long f = 0; f < files; f++) {
					auto [file_raw, file_done] = entry_name(i++, rng);
					std::string content = "entry " + std::to_string(i) + ":";
					for (unsigned long n = rng() % 200; n > 0; n--)
						content += static_cast<char>(rng());
					write_file(mount + join(raw, file_raw), content);
					before[join(raw, file_raw)] = after[join(done, file_done)] =
					        "= " + content;
				}
			}
		}
	}

	// Replays the log's renames, in order, over the tree as built. A pair whose old name is
	// gone must have its new name in place: a rename logged again after a kill came between
	// its line and the rename. Returns the first line that fits neither.
	std::string replay(std::map<std::string, std::string> &tree) const
	{
		std::string text = log();
		for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
			end = text.find("\r\n", at);
			if (end == std::string::npos)
				end = text.size();
			std::string line = text.substr(at, end - at);
			std::size_t arrow = line.find(" -> ");
			if (arrow == std::string::npos)
				continue;
			std::string from = line.substr(0, arrow);
			std::string to = line.substr(arrow + 4);
			if (from.compare(0, mount.size(), mount) != 0 ||
			    to.compare(0, mount.size(), mount) != 0)
				return line;
			from.erase(0, mount.size());
			to.erase(0, mount.size());
			auto found = tree.find(from);
			if (found == tree.end()) {
				if (tree.count(to) == 0)
					return line;
				continue;
			}
			if (tree.count(to) != 0)
				return line;
			std::map<std::string, std::string> moved;
			moved[to] = found->second;
			tree.erase(found);
			std::string below = from + "/";
			for (auto it = tree.lower_bound(below);
			     it != tree.end() && it->first.compare(0, below.size(), below) == 0;) {
				moved[to + it->first.substr(from.size())] = it->second;
				it = tree.erase(it);
			}
			tree.merge(moved);
		}
		return "";
	}

	std::map<std::string, std::string> before;  // a snapshot of the tree as built
	std::map<std::string, std::string> after;   // the same once every name is converted
};

// Kill points are the n-th rename or the n-th write of a run (a log line, a statistics
// write or console output), taken from a seeded generator so that a failure can be replayed;
// each is drawn so that the kills spread evenly over the conversions still to do.
TEST_F(killed_run, nothing_is_lost_and_every_rename_is_logged)
{
	const unsigned long seed = setting("MAC2CP850_KILL_SEED", 850);
	const unsigned long points = setting("MAC2CP850_KILL_POINTS", 24);
	const unsigned long files = setting("MAC2CP850_KILL_FILES", 100);
	std::mt19937_64 rng(seed);
	build(20, 10, files, rng);
	ASSERT_GE(before.size(), 200 * files);

	unsigned long survived = 0;
	for (unsigned long k = 0; k < points; k++) {
		std::uint64_t remaining = unconverted(mount);
		ASSERT_GT(remaining, 0u) << "kill " << k;
		std::uint64_t span = std::max<std::uint64_t>(1, 3 * remaining / (2 * (points - k)));
		unsigned long n = 1 + rng() % std::min(span, remaining);
		kill_point at = k % 2 == 0 ? kill_at_rename : kill_at_write;
		bool killed;
		run_result r = run_killed(at, n, killed);
		ASSERT_TRUE(killed) << "kill " << k << " at call " << n << ", status " << r.status
		                    << ", seed " << seed;
		survived++;
	}
	std::uint64_t remaining = unconverted(mount);
	run_result r = run();

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1 + 20 + 20 * 10, before.size(), remaining));
	std::map<std::string, std::string> now = snapshot(mount);
	EXPECT_EQ(now.size(), before.size());
	EXPECT_EQ(differences(now, after), "") << "seed " << seed;
	std::map<std::string, std::string> replayed = before;
	EXPECT_EQ(replay(replayed), "") << "seed " << seed;
	EXPECT_EQ(differences(replayed, now), "") << "seed " << seed;
	EXPECT_EQ(log().find("Error:"), std::string::npos);

	std::string text = journal();
	std::size_t runs = 0;
	for (std::size_t at = 0; at != std::string::npos;
	     at = text.find("\nmac2cp850-journal ", at + 1))
		runs++;
	for (std::size_t k = 1; k <= runs; k++) {
		run_result back = undo({"--run", std::to_string(k)});
		ASSERT_EQ(back.status, 0)
		        << "run " << k << " of " << runs << back.err << ", seed " << seed;
		EXPECT_NE(back.out.find(
		                  ", 0 missing, 0 refused, 0 unparseable, 0 failed in the run\n"),
		          std::string::npos);
	}
	std::map<std::string, std::string> undone = snapshot(mount);
	EXPECT_EQ(differences(undone, before), "") << "seed " << seed;
	std::printf("kill points survived: %lu over %zu entries, %zu runs undone (seed %lu)\n",
	            survived, before.size(), runs, seed);
}

class interrupted : public e2e
{
};

// SIGINT, SIGTERM or SIGHUP at a rename: the rename goes on, the walk stops after it, the report
// and the log section say so, and a rerun converts the rest, nothing twice. The undo stops the
// same way between two records, and a second undo takes back the rest.
TEST_F(interrupted, run_and_undo_stop_after_the_entry_in_hand)
{
#ifdef E2E_SIGNALS_DEFERRED
	GTEST_SKIP() << "ThreadSanitizer runs a handler at its next call into libc, so the entry "
	                "after the one in hand may be handled too";
#endif
	constexpr unsigned files = 12;
	constexpr unsigned stop_at = 5;
	constexpr unsigned undo_stop_at = 3;
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		SCOPED_TRACE(strsignal(sig));
		remove_tree(mount);
		make_dir(mount);
		remove_tree(records);
		make_dir(records);
		std::vector<std::string> before;
		std::vector<std::string> after;
		for (unsigned i = 0; i < files; i++) {
			std::string name = "f" + std::to_string(100 + i);
			write_file(mount + "/" + name + ":41", name);
			before.push_back(name + ":41");
			after.push_back(name + "A");
		}

		bool stopped;
		run_result r = run_killed(kill_at_rename, stop_at, stopped, {}, PROGRAM, {}, sig);

		ASSERT_TRUE(stopped);
		EXPECT_EQ(r.status, 128 + sig);
		std::string expected = report(1, stop_at, stop_at);
		const std::string done = "Accessing...done\r\n";
		expected.replace(expected.find(done), done.size(),
		                 "Accessing...interrupted\r\n"
		                 "Run it again to convert the rest of the volume.\r\n");
		const std::string finished = "conversion finished.";
		expected.replace(expected.find(finished), finished.size(),
		                 "conversion interrupted.");
		EXPECT_EQ(r.out, expected);
		std::string first_log = log();
		const std::string end =
		        "\r\nInterrupted\r\nChecked folders:  1\r\nChecked files:    " +
		        std::to_string(stop_at) +
		        "\r\nConversions done: " + std::to_string(stop_at) + "\r\n";
		ASSERT_GE(first_log.size(), end.size());
		EXPECT_EQ(first_log.substr(first_log.size() - end.size()), end);
		std::vector<std::string> now = names(mount);
		EXPECT_EQ(std::count_if(now.begin(), now.end(),
		                        [](const std::string &n) { return n.back() == 'A'; }),
		          stop_at);

		run_result rerun = run();

		EXPECT_EQ(rerun.status, 0);
		EXPECT_EQ(rerun.out, report(1, files, files - stop_at));
		EXPECT_EQ(names(mount), after);
		// Every entry renamed once over both runs.
		std::string text = log();
		std::vector<std::string> renamed;
		for (std::size_t at = text.find(" -> "); at != std::string::npos;
		     at = text.find(" -> ", at + 1)) {
			std::size_t start = text.rfind('\n', at) + 1;
			renamed.push_back(text.substr(start, at - start));
		}
		std::sort(renamed.begin(), renamed.end());
		std::vector<std::string> sources;
		for (const std::string &name : before)
			sources.push_back(mount + "/" + name);
		EXPECT_EQ(renamed, sources);

		run_result back = run_killed(kill_at_rename, undo_stop_at, stopped, {},
		                             UNDO_PROGRAM, {}, sig);

		ASSERT_TRUE(stopped);
		EXPECT_EQ(back.status, 128 + sig);
		// The run it takes back named, the renames back, the summary.
		EXPECT_EQ(std::count(back.out.begin(), back.out.end(), '\n'), undo_stop_at + 2);
		EXPECT_NE(back.out.find("\n" + std::to_string(undo_stop_at) +
		                        " reverted, 0 already reverted, 0 missing, 0 refused, 0 "
		                        "unparseable, 0 failed in the run\n"),
		          std::string::npos);
		run_result rest = undo();
		EXPECT_EQ(rest.status, 0);
		EXPECT_NE(rest.out.find(std::to_string(files - stop_at - undo_stop_at) +
		                        " reverted, " + std::to_string(undo_stop_at) +
		                        " already reverted, 0 missing"),
		          std::string::npos);
		now = names(mount);
		EXPECT_EQ(std::count_if(now.begin(), now.end(),
		                        [](const std::string &n) { return n.back() == 'A'; }),
		          stop_at);
	}
}

}  // namespace
