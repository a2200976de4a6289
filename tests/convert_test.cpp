// What names become, what the log says about it, and the statistics file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "harness.h"

namespace
{

class conversion : public e2e
{
};

TEST_F(conversion, worked_example)
{
	std::string table = identity_table();
	table[0x8e] = '\x82';
	write_table(table);
	make_dir(mount + "/docs");
	write_file(mount + "/docs/Caf:8e", "menu");

	run_result r = run();

	EXPECT_EQ(r.out, report(2, 2, 1));
	EXPECT_EQ(log(),
	          log_section(mount + "/docs/Caf:8e -> " + mount + "/docs/Caf\x82\r\n", 2, 2, 1));
	EXPECT_EQ(read_file(mount + "/docs/Caf\x82"), "menu");
}

// An escape is ':' and two hex digits; it is kept for '.' and '/', and where the table has no
// byte for it (0) or would put a '/' into the name.
TEST_F(conversion, escapes_decoded_and_kept)
{
	std::string table = identity_table();
	table[0x01] = '\0';
	table[0x42] = '/';
	write_table(table);
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {"Report:2fMay", "Report:2fMay"},
	        {":2eprofile", ":2eprofile"},
	        {"x:2F", "x:2F"},
	        {"y:2E", "y:2E"},
	        {"a:8Ab", "a\x8a"
	                  "b"},
	        {"Note:8zed", "Note:8zed"},
	        {"Version: 9.doc", "Version: 9.doc"},
	        {"a:3:41", "a:3A"},
	        {"x:3ay", "x:y"},
	        {"end:", "end:"},
	        {"end:8", "end:8"},
	        {"ab:01cd", "ab:01cd"},
	        {"sl:42sh", "sl:42sh"},
	        {"m:01:8E:zz", "m:01\x8e:zz"},
	        {":41", "A"},
	        {".b:41", ".bA"},
	        {"\t:c9\xff", "\t\xc9\xff"},
	};
	std::vector<std::string> expected, logged;
	for (const auto &[name, result] : cases) {
		write_file(mount + "/" + name, name);
		expected.push_back(result);
		if (name != result)
			logged.push_back(mount + "/" + name + " -> " + mount + "/" + result);
	}
	std::sort(expected.begin(), expected.end());
	std::sort(logged.begin(), logged.end());

	run_result r = run();

	EXPECT_EQ(r.out, report(1, cases.size(), logged.size()));
	EXPECT_EQ(names(mount), expected);
	EXPECT_EQ(logged_lines(log()), logged);
	for (const auto &[name, result] : cases)
		EXPECT_EQ(read_file(mount + "/" + result), name);
}

// Through iconv, to UTF-8, without the table: the console names the conversion, escapes of
// ASCII and of codes the target lacks stay, a rerun converts nothing, and the undo, without
// the option, brings every name back.
TEST_F(conversion, escapes_decoded_to_utf8_and_undone)
{
	ASSERT_EQ(unlink((work + "/mac2cp850.tab").c_str()), 0);
	make_dir(mount + "/Ordner :85");
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {"Caf:8e", "Caf\xc3\xa9"},          {"Preis :db", "Preis \xe2\x82\xac"},
	        {":2eprofile:41", ":2eprofile:41"}, {"a:3:8e", "a:3\xc3\xa9"},
	        {"x:3a:8E", "x:3a\xc3\xa9"},        {"nbsp:ca", "nbsp\xc2\xa0"},
	};
	std::vector<std::string> logged;
	for (const auto &[name, result] : cases) {
		write_file(mount + "/" + name, name);
		if (name != result)
			logged.push_back(mount + "/" + name + " -> " + mount + "/" + result);
	}
	// A folder converts after its contents.
	write_file(mount + "/Ordner :85/Men:9f.txt", "");
	logged.push_back(mount + "/Ordner :85/Men:9f.txt -> " + mount +
	                 "/Ordner :85/Men\xc3\xbc.txt");
	logged.push_back(mount + "/Ordner :85 -> " + mount + "/Ordner \xc3\x96");
	std::sort(logged.begin(), logged.end());
	const auto before = snapshot(mount);
	std::string expected = report(2, cases.size() + 2, logged.size());
	const std::string reading = "Reading mac2cp850.tab...ok.";
	expected.replace(expected.find(reading), reading.size(),
	                 "Converting MACINTOSH to UTF-8...ok.");

	// The dry run shows the decoded names, readable in a UTF-8 terminal, and why escapes stay.
	run_result dry = run_with({"-n", "--to=UTF-8"});
	EXPECT_EQ(dry.status, 0);
	EXPECT_NE(dry.out.find(mount + "/Caf:8e -> " + mount + "/Caf\xc3\xa9\n"), std::string::npos)
	        << dry.out;
	EXPECT_NE(dry.out.find("kept (:2e is '.'): " + mount + "/:2eprofile:41\n"),
	          std::string::npos)
	        << dry.out;
	EXPECT_EQ(snapshot(mount), before);

	run_result r = run_with({"--to", "UTF-8"});

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, to_target(expected, "UTF-8"));
	EXPECT_EQ(logged_lines(log()), logged);
	for (const auto &[name, result] : cases)
		EXPECT_EQ(read_file(mount + "/" + result), name);
	EXPECT_EQ(names(mount + "/Ordner \xc3\x96"), std::vector<std::string>{"Men\xc3\xbc.txt"});

	const std::string converted = tree_state(mount);
	const std::string first_log = log();
	run_result again = run_with({"--to=UTF-8", "--from=MACINTOSH"});
	EXPECT_EQ(again.status, 0);
	expected = report(2, cases.size() + 2, 0);
	expected.replace(expected.find(reading), reading.size(),
	                 "Converting MACINTOSH to UTF-8...ok.");
	EXPECT_EQ(again.out, to_target(expected, "UTF-8"));
	EXPECT_EQ(log(), first_log + log_section("", 2, cases.size() + 2, 0));
	EXPECT_EQ(tree_state(mount), converted);

	run_result back = undo({"--run", "2"});
	EXPECT_EQ(back.status, 0) << back.out << back.err;
	EXPECT_EQ(snapshot(mount), before);
}

// Names that servers of CP932 and of UTF-8 wrote, decoded whole: a dry run with the table says
// they look like another charset; one with the charset lists each rename and each name kept
// whole, and why; the run does what it listed, a rerun nothing, and the undo gives every name
// back.
TEST_F(conversion, names_of_several_bytes_a_character_decoded_whole_and_undone)
{
	const std::string m = mount + "/";
	make_dir(m + ":95\\");
	for (const char *name : {":8b:a4:97L.doc", ":83\\:83t:83g:95\\.doc",
	                         ":e5:85:b1:e6:9c:89.txt", "Meeting 10:30.txt", ":83.txt"})
		write_file(m + name, "");
	write_file(m + ":95\\/:83\\.txt", "");
	const auto before = snapshot(mount);
	// In the order of a sort, the dry run's listing and the run's log.
	const std::vector<std::string> renames = {
	        m + ":83\\:83t:83g:95\\.doc -> " + m + "ソフト表.doc",
	        m + ":8b:a4:97L.doc -> " + m + "共有.doc",
	        m + ":95\\ -> " + m + "表",
	        m + ":95\\/:83\\.txt -> " + m + ":95\\/ソ.txt",
	};
	auto converting = [](const char *from, std::uint64_t conversions) {
		std::string out = report(2, 7, conversions);
		return to_target(out.replace(out.find("Reading mac2cp850.tab"), 21,
		                             std::string("Converting ") + from + " to UTF-8"),
		                 "UTF-8");
	};

	run_result dry = run_with({"-n"});
	const std::string looks = "mac2cp850: 4 names look like multi-byte text, such as ";
	const std::string tries = ": try --from UTF-8, or a two-byte charset such as --from CP932, "
	                          "with --to UTF-8\n";
	ASSERT_TRUE(dry.err.ends_with(tries)) << dry.err;
	std::string example = dry.err.substr(0, dry.err.size() - tries.size());
	EXPECT_TRUE(example.starts_with("mac2cp850: " + mount + ": nothing is mounted there\n" +
	                                looks));
	example.erase(0, example.find(looks) + looks.size());
	const std::vector<std::string> multibyte = {
	        ":e5:85:b1:e6:9c:89.txt", ":83\\:83t:83g:95\\.doc", ":95\\", ":95\\/:83\\.txt"};
	EXPECT_EQ(std::count(multibyte.begin(), multibyte.end(), example.substr(m.size())), 1)
	        << example;

	dry = run_with({"-n", "--from", "CP932", "--to", "UTF-8"});
	std::vector<std::string> listed, expected = renames;
	for (std::size_t at = 0, end; (end = dry.out.find('\n', at)) != std::string::npos;
	     at = end + 1)
		listed.push_back(dry.out.substr(at, end - at));
	expected.insert(
	        expected.end(),
	        {"kept (name is not CP932 text at byte 1): " + m + ":83.txt",
	         "kept (name is not CP932 text at byte 16): " + m + ":e5:85:b1:e6:9c:89.txt"});
	std::sort(listed.begin(), listed.end() - 5);
	EXPECT_EQ(std::vector<std::string>(listed.begin(), listed.end() - 5), expected);
	EXPECT_EQ(listed.back(), "Keeping escapes:  2");
	EXPECT_EQ(snapshot(mount), before);

	EXPECT_EQ(run_with({"--from", "CP932", "--to", "UTF-8"}).out, converting("CP932", 4));
	EXPECT_EQ(logged_lines(log()), renames);
	EXPECT_EQ(run_with({"--from", "CP932", "--to", "UTF-8"}).out, converting("CP932", 0));
	EXPECT_EQ(run_with({"--from", "UTF-8", "--to", "UTF-8"}).out, converting("UTF-8", 1));
	EXPECT_TRUE(exists(m + "共有.txt"));
	EXPECT_EQ(undo().status, 0);
	EXPECT_EQ(undo({"--run", "3"}).status, 0);
	EXPECT_EQ(snapshot(mount), before);
}

TEST_F(conversion, both_cases_of_hex_digits)
{
	make_dir(mount + "/upper");
	make_dir(mount + "/lower");
	write_file(mount + "/upper/a:8Ab", "");
	write_file(mount + "/lower/a:8ab", "");

	run();

	EXPECT_EQ(names(mount + "/upper"), std::vector<std::string>{"a\x8a"
	                                                            "b"});
	EXPECT_EQ(names(mount + "/lower"), std::vector<std::string>{"a\x8a"
	                                                            "b"});
}

TEST_F(conversion, existing_name_is_never_replaced)
{
	write_file(mount + "/x:41", "one");
	write_file(mount + "/xA", "two");
	make_dir(mount + "/d:41");
	make_dir(mount + "/dA");

	run_result r = run();

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(3, 4, 2, failed_renames(2)));
	EXPECT_EQ(logged_lines(log()),
	          (std::vector<std::string>{mount + "/d:41 -> " + mount + "/dA",
	                                    mount + "/x:41 -> " + mount + "/xA",
	                                    "Error: 17 File exists", "Error: 17 File exists"}));
	EXPECT_NE(log().find(mount + "/d:41 -> " + mount + "/dA\r\nError: 17 File exists\r\n"),
	          std::string::npos);
	EXPECT_NE(log().find(mount + "/x:41 -> " + mount + "/xA\r\nError: 17 File exists\r\n"),
	          std::string::npos);
	EXPECT_EQ(read_file(mount + "/x:41"), "one");
	EXPECT_EQ(read_file(mount + "/xA"), "two");
	EXPECT_EQ(names(mount), (std::vector<std::string>{"d:41", "dA", "x:41", "xA"}));
}

TEST_F(conversion, refused_rename_is_logged_and_the_walk_goes_on)
{
	make_dir(mount + "/frozen");
	write_file(mount + "/frozen/f:41", "");
	make_dir(mount + "/open");
	write_file(mount + "/open/g:41", "");
	if (std::system(("chattr +i '" + mount + "/frozen' 2>/dev/null").c_str()) != 0)
		GTEST_SKIP() << "no immutable folders on this file system";

	run_result r = run();

	(void)std::system(("chattr -i '" + mount + "/frozen'").c_str());
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, report(3, 4, 2, failed_renames(1)));
	EXPECT_NE(log().find(mount + "/frozen/f:41 -> " + mount +
	                     "/frozen/fA\r\nError: 1 Operation not permitted\r\n"),
	          std::string::npos);
	EXPECT_EQ(names(mount + "/frozen"), std::vector<std::string>{"f:41"});
	EXPECT_EQ(names(mount + "/open"), std::vector<std::string>{"gA"});
}

// With ':' mapped to itself a decoded name can hold a new escape; it must not be decoded again.
TEST_F(conversion, large_folder_is_converted_exactly_once)
{
	const int count = 3000;
	std::vector<std::string> expected;
	for (int i = 0; i < count; i++) {
		std::string n = std::to_string(10000 + i);
		write_file(mount + "/" + n + ":3a41", "");
		expected.push_back(n + ":41");
	}

	run_result r = run();

	EXPECT_EQ(r.out, report(1, count, count));
	EXPECT_EQ(names(mount), expected);
	EXPECT_EQ(logged_lines(log()).size(), static_cast<std::size_t>(count));
}

class statistics : public e2e
{
protected:
	void files(int count)
	{
		for (int i = 0; i < count; i++)
			write_file(mount + "/f" + std::to_string(i), "");
	}
};

TEST_F(statistics, eleven_files_write_once)
{
	files(11);
	run();
	EXPECT_EQ(stats(), stats_text(11, 1));
}

TEST_F(statistics, five_files_leave_no_file)
{
	files(5);
	run();
	EXPECT_FALSE(exists(stats_path));
}

TEST_F(statistics, fifteen_files_show_the_last_write)
{
	write_file(stats_path, std::string(200, 'x'));
	files(15);
	run_result r = run();
	EXPECT_EQ(r.out, report(1, 15, 0));
	EXPECT_EQ(stats(), stats_text(11, 1));
}

}  // namespace
