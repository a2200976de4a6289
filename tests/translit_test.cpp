// --transliterate: mac2cp850.translit's rules, and runs with the shipped files.
#include <sys/stat.h>

#include <algorithm>

#include "harness.h"

namespace
{

const std::string shipped_table = read_file(SOURCE_DIR "/data/mac2cp850.tab");
const std::string shipped_translit = read_file(SOURCE_DIR "/data/mac2cp850.translit");

// What the console shows after a completed run with the option.
std::string translit_report(std::uint64_t folders, std::uint64_t files, std::uint64_t conversions,
                            const std::string &failures = "")
{
	std::string out = report(folders, files, conversions, failures);
	const std::string table_line = "Reading mac2cp850.tab...ok.\r\n";
	return out.insert(out.find(table_line) + table_line.size(),
	                  "Reading mac2cp850.translit...ok.\r\n");
}

class translit_file : public e2e
{
protected:
	void reset()
	{
		for (const std::string &dir : {mount, records, work}) {
			remove_tree(dir);
			make_dir(dir);
		}
		write_table(shipped_table);
		write_file(mount + "/Caf:8e", "");
		write_file(mount + "/Preis :db", "");
	}
};

TEST_F(translit_file, bad_files_are_refused_before_the_walk)
{
	struct bad_case {
		const char *what;
		std::string text;  // "": no file, "/": a folder in its place
		std::string why;
	};
	const std::string no_line = "not a code in two hex digits, a blank and a replacement";
	const std::string unprintable = "replacement holds a byte that is not printable ASCII";
	const std::string blank = "replacement starts or ends with a blank";
	std::string runaway;
	for (int i = 0; i < 600; i++)
		runaway += "A0 +\n";
	const std::vector<bad_case> cases = {
	        {"missing", "", "2 No such file or directory"},
	        {"folder", "/", "not a regular file"},
	        {"no blank", "DBEUR\n", "line 1: " + no_line},
	        {"one digit", "D EUR\n", "line 1: " + no_line},
	        {"not hex", "A0 +\nDG EUR\n", "line 2: " + no_line},
	        {"empty line", "A0 +\n\nDB EUR\n", "line 2: " + no_line},
	        {"no replacement", "DB \n", "line 1: " + no_line},
	        {"escape of '.'", "2E x\n", "line 1: code 2E always stays an escape"},
	        {"escape of '/'", "2f x\n", "line 1: code 2f always stays an escape"},
	        {"code the table converts", "A0 +\n8e e\n",
	         "line 2: code 8e is converted by the table"},
	        {"code twice", "DB EUR\ndb E\n", "line 2: code db listed twice"},
	        {"five bytes", "DB Euros\n", "line 1: replacement longer than 4 bytes"},
	        {"CR LF", "A0 +\r\n", "line 1: " + unprintable},
	        {"byte above 127", "DB E\x80R\n", "line 1: " + unprintable},
	        {"'/'", "A0 +\nA5 o\nDB E/R\n",
	         "line 3: replacement holds '/', which names can't hold"},
	        {"'?'", "B0 ?", "line 1: replacement holds '?', which names can't hold"},
	        {"':'", "B0 a:b", "line 1: replacement holds ':', which names can't hold"},
	        {"leading blank", "DB  EUR\n", "line 1: " + blank},
	        {"trailing blank", "DB EU \n", "line 1: " + blank},
	        {"runaway file", runaway, "line 2: code A0 listed twice"},
	};
	for (const bad_case &c : cases) {
		SCOPED_TRACE(c.what);
		reset();
		if (c.text == "/")
			make_dir(work + "/mac2cp850.translit");
		else if (!c.text.empty())
			write_file(work + "/mac2cp850.translit", c.text);

		run_result r = run_with({"--transliterate"});

		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "------------------------------------\r\n"
		                 "Codepage 850 filename conversion\r\nInit...\r\n"
		                 "Reading mac2cp850.tab...ok.\r\n"
		                 "Reading mac2cp850.translit...FAILED " +
		                         c.why + "\r\n");
		EXPECT_EQ(names(mount), (std::vector<std::string>{"Caf:8e", "Preis :db"}));
		EXPECT_TRUE(names(records).empty());
	}

	// Without the option the file is not read, however bad.
	run_result r = run();
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, report(1, 2, 1));
	EXPECT_EQ(names(mount), (std::vector<std::string>{"Caf\x82", "Preis :db"}));
}

class translit_run : public e2e
{
};

// Each kept escape that has a transliteration takes it, unless the result could be decoded
// again or a Windows client couldn't use the name; a second run changes nothing.
TEST_F(translit_run, converts_kept_escapes_once)
{
	write_table(shipped_table);
	write_file(work + "/mac2cp850.translit", shipped_translit);
	const std::string long_name = std::string(252, 'a') + ":aa";  // 255 bytes
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {"Preis :db", "Preis EUR"},
	        {"Caf:8e :aa :b0", "Caf\x82 (TM) :b0"},  // ∞ has no transliteration
	        {"a:db", "aEUR"},
	        {"a:8:db", "a:8:db"},  // "a:8EUR" would hold the escape ":8E"
	        {"b::de", "b:fi"},     // ":fi" holds none
	        {"c::c9x", "c:...x"},
	        {"d:5:aa", "d:5(TM)"},
	        {"x:c9", "x:c9"},           // would end in '.'
	        {"y:8e:aa ", "y\x82:aa "},  // would end in a blank: as without the option
	        {"z:c9.txt", "z....txt"},
	        {long_name, long_name},  // would be 256 bytes long
	};
	std::vector<std::string> after, lines;
	for (const auto &[old_name, new_name] : cases) {
		write_file(mount + "/" + old_name, old_name);
		after.push_back(new_name);
		if (new_name != old_name)
			lines.push_back(mount + "/" + old_name + " -> " + mount + "/" + new_name);
	}
	// A folder converts after its contents; a taken name is the usual logged failure.
	make_dir(mount + "/Ordner :c9:d5");
	write_file(mount + "/Ordner :c9:d5/Men:9f :a5.txt", "");
	write_file(mount + "/Kosten:a0", "");
	write_file(mount + "/Kosten+", "");
	const std::string taken = mount + "/Kosten:a0 -> " + mount + "/Kosten+";
	lines.insert(lines.end(), {mount + "/Ordner :c9:d5/Men:9f :a5.txt -> " + mount +
	                                   "/Ordner :c9:d5/Men\x81 o.txt",
	                           mount + "/Ordner :c9:d5 -> " + mount + "/Ordner ...'", taken,
	                           "Error: 17 File exists"});
	after.insert(after.end(), {"Ordner ...'", "Kosten:a0", "Kosten+"});
	const std::vector<std::string> before = names(mount);
	std::sort(after.begin(), after.end());
	std::sort(lines.begin(), lines.end());
	const std::uint64_t entries = cases.size() + 4;

	run_result first = run_with({"--transliterate"});
	EXPECT_EQ(first.status, 1);
	EXPECT_EQ(first.out, translit_report(2, entries, lines.size() - 1, failed_renames(1)));
	EXPECT_EQ(logged_lines(log()), lines);
	EXPECT_EQ(names(mount), after);
	EXPECT_EQ(names(mount + "/Ordner ...'"), std::vector<std::string>{"Men\x81 o.txt"});
	EXPECT_EQ(read_file(mount + "/Preis EUR"), "Preis :db");

	const std::string first_log = log();
	run_result second = run_with({"--transliterate"});
	EXPECT_EQ(second.out, translit_report(2, entries, 1, failed_renames(1)));
	EXPECT_EQ(log(),
	          first_log + log_section(taken + "\r\nError: 17 File exists\r\n", 2, entries, 1));
	EXPECT_EQ(names(mount), after);
	// The journal holds the old names: the undo needs no transliteration file.
	ASSERT_EQ(unlink((work + "/mac2cp850.translit").c_str()), 0);
	run_result back = undo({"--run", "2"});
	EXPECT_EQ(back.status, 0) << back.out << back.err;
	EXPECT_EQ(names(mount), before);
	EXPECT_EQ(names(mount + "/Ordner :c9:d5"), std::vector<std::string>{"Men:9f :a5.txt"});
}

// With the option the dry run shows the transliterated names and why an escape stays all the
// same; without it, which kept escapes the option would transliterate.
TEST_F(translit_run, dry_run_shows_what_the_option_does)
{
	write_table(shipped_table);
	write_file(work + "/mac2cp850.translit", shipped_translit);
	for (const char *name : {"Preis :db", "a:8:db", "x:c9", "Caf:8e :b0"})
		write_file(mount + "/" + name, "");
	const std::string m = mount + "/";
	const std::string cafe = "kept (:b0 has no byte in the table): " + m + "Caf\x82 :b0";
	struct option_case {
		std::vector<std::string> args;
		std::vector<std::string> lines;
		std::string counts;
	};
	const std::vector<option_case> cases = {
	        {{"-n"},
	         {m + "Caf:8e :b0 -> " + m + "Caf\x82 :b0", cafe,
	          "kept (:c9 has no byte in the table): " + m + "x:c9",
	          "kept (:db has no byte in the table): " + m + "a:8:db",
	          "kept (:db has no byte in the table; --transliterate gives \"EUR\"): " + m +
	                  "Preis :db"},
	         "Conversions done: 1\nCollisions:       0\nKeeping escapes:  4\n"},
	        {{"-n", "--transliterate"},
	         {m + "Caf:8e :b0 -> " + m + "Caf\x82 :b0", m + "Preis :db -> " + m + "Preis EUR",
	          cafe,
	          "kept (:c9 has no byte in the table; transliterated, the name would end in "
	          "'.'): " +
	                  m + "x:c9",
	          "kept (:db has no byte in the table; \"EUR\" would complete an escape): " + m +
	                  "a:8:db"},
	         "Conversions done: 2\nCollisions:       0\nKeeping escapes:  3\n"},
	};
	for (const option_case &c : cases) {
		SCOPED_TRACE(c.args.back());
		run_result r = run_with(c.args);

		EXPECT_EQ(r.status, 0);
		const std::string head = "Checked folders:  1\nChecked files:    4\n";
		std::size_t counts = r.out.find(head);
		ASSERT_NE(counts, std::string::npos) << r.out;
		EXPECT_EQ(r.out.substr(counts), head + c.counts);
		std::vector<std::string> lines;
		for (std::size_t at = 0, end; at < counts; at = end + 1) {
			end = r.out.find('\n', at);
			lines.push_back(r.out.substr(at, end - at));
		}
		std::sort(lines.begin(), lines.end());
		EXPECT_EQ(lines, c.lines);
	}
	EXPECT_EQ(names(mount),
	          (std::vector<std::string>{"Caf:8e :b0", "Preis :db", "a:8:db", "x:c9"}));
}

}  // namespace
