// The shipped table against the system's own definitions of both character sets.
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string_view>

#include "harness.h"

namespace
{

// Code page 850 byte of each Mac Roman code 0x80..0xFF that has one, as the C library's
// converters define the two character sets.
std::map<int, unsigned char> exact_pairs()
{
	std::map<int, unsigned char> pairs;
	iconv_t cd = iconv_open("IBM850", "MACINTOSH");
	if (cd == reinterpret_cast<iconv_t>(-1))
		return pairs;
	for (int v = 0x80; v < 0x100; v++) {
		char in = static_cast<char>(v);
		char out[8];
		char *inp = &in, *outp = out;
		std::size_t inleft = 1, outleft = sizeof out;
		(void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
		if (iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<std::size_t>(-1) &&
		    outp - out == 1)
			pairs[v] = static_cast<unsigned char>(out[0]);
	}
	iconv_close(cd);
	return pairs;
}

// Code -> byte of the best fits that docs/table.md lists.
std::map<int, unsigned char> documented_best_fits()
{
	std::map<int, unsigned char> fits;
	std::istringstream doc(read_file(SOURCE_DIR "/docs/table.md"));
	for (std::string line; std::getline(doc, line);) {
		unsigned code, byte;
		if (std::sscanf(line.c_str(), "| 0x%x | %*[^|]| %*[^|]| 0x%x ", &code, &byte) == 2)
			fits[static_cast<int>(code)] = static_cast<unsigned char>(byte);
	}
	return fits;
}

class shipped_table : public e2e
{
protected:
	const std::string table = read_file(SOURCE_DIR "/data/mac2cp850.tab");
};

TEST_F(shipped_table, follows_the_rules)
{
	ASSERT_EQ(table.size(), 256u);
	const auto exact = exact_pairs();
	const auto fits = documented_best_fits();
	EXPECT_EQ(exact.size(), 82u);
	EXPECT_EQ(fits.size(), 6u);
	for (int v = 0; v < 256; v++) {
		SCOPED_TRACE(v);
		auto byte = static_cast<unsigned char>(table[v]);
		EXPECT_NE(byte, '/');
		EXPECT_EQ(std::string_view(":0123456789abcdefABCDEF").find(static_cast<char>(byte)),
		          std::string_view::npos)
		        << "a rerun would read it as escape text";
		if (v < 0x80)
			EXPECT_EQ(byte, 0);
		else if (exact.count(v) != 0)
			EXPECT_EQ(byte, exact.at(v));
		else if (fits.count(v) != 0)
			EXPECT_EQ(byte, fits.at(v));
		else
			EXPECT_EQ(byte, 0);
	}
	for (const auto &[code, byte] : fits)
		EXPECT_EQ(std::string("\\/:*?\"<>|").find(static_cast<char>(byte)),
		          std::string::npos);
}

TEST_F(shipped_table, every_exact_pair_converts_end_to_end)
{
	write_table(table);
	const auto exact = exact_pairs();
	ASSERT_EQ(exact.size(), 82u);
	// Samples that any reader of both code charts can check by hand.
	const std::map<int, unsigned char> samples = {{0x8e, 0x82}, {0x80, 0x8e}, {0x8a, 0x84},
	                                              {0x85, 0x99}, {0x9a, 0x94}, {0x86, 0x9a},
	                                              {0x9f, 0x81}, {0xa7, 0xe1}};
	for (const auto &[code, byte] : samples)
		EXPECT_EQ(exact.at(code), byte);

	std::vector<std::string> expected;
	for (const auto &[code, byte] : exact) {
		char name[16];
		std::snprintf(name, sizeof name, code % 2 ? "n%d:%02X" : "n%d:%02x", code, code);
		write_file(mount + "/" + name, name);
		expected.push_back("n" + std::to_string(code) + static_cast<char>(byte));
	}
	std::sort(expected.begin(), expected.end());

	run_result r = run();

	EXPECT_EQ(r.out, report(1, exact.size(), exact.size()));
	EXPECT_EQ(names(mount), expected);
}

// Only what a Mac server escapes is decoded, and no decoded byte is escape text, so a rerun,
// which is how a stopped run is finished, converts nothing more.
TEST_F(shipped_table, ordinary_names_stay_and_a_rerun_converts_nothing)
{
	write_table(table);
	const std::vector<std::string> ordinary = {
	        // Times, dates, addresses: a table mapping ASCII escapes would have made them
	        // "Meeting 100.txt", "Call 11 ", "Report 14\".doc", "... 12E.zip", "...+<M^.cfg",
	        // "fe80:*1".
	        "Meeting 10:30.txt", "Call 11:20", "Report 14:22.doc",
	        "Backup 2023-01-05 12:45.zip", "MAC 00:1A:2B:3C:4D:5E.cfg", "fe80::2a1",
	        // Names whose decoding would form a new escape if ':' or a hex digit came out.
	        "x:3a41", "a::4141", "p:3:41", "Notes 10:3a30"};
	// Mac names, some with kept escapes or lone colons next to the bytes they decode to.
	const std::string e = "\x82";  // é in code page 850
	const std::vector<std::pair<std::string, std::string>> mac = {
	        {"Caf:8e", "Caf" + e},
	        {":80pfel", "\x8epfel"},
	        {"k:3a:8e41", "k:3a" + e + "41"},
	        {"e:8E:41", "e" + e + ":41"},
	        {"z::8e41", "z:" + e + "41"},
	        {"t:d5:D0:e2", "t'-:e2"}};
	std::vector<std::string> before = ordinary, after = ordinary, lines;
	for (const auto &[old_name, new_name] : mac) {
		before.push_back(old_name);
		after.push_back(new_name);
		lines.push_back(mount + "/" + old_name + " -> " + mount + "/" + new_name);
	}
	for (const std::string &name : before)
		write_file(mount + "/" + name, name);
	make_dir(mount + "/Projekte:8a");
	write_file(mount + "/Projekte:8a/Men:9f.txt", "");
	after.push_back("Projekte\x84");
	lines.push_back(mount + "/Projekte:8a/Men:9f.txt -> " + mount + "/Projekte:8a/Men\x81.txt");
	lines.push_back(mount + "/Projekte:8a -> " + mount + "/Projekte\x84");
	std::sort(after.begin(), after.end());
	std::sort(lines.begin(), lines.end());
	const std::uint64_t entries = before.size() + 2;

	run_result first = run();
	ASSERT_EQ(first.status, 0);
	EXPECT_EQ(first.out, report(2, entries, lines.size()));
	EXPECT_EQ(logged_lines(log()), lines);
	EXPECT_EQ(names(mount), after);
	EXPECT_EQ(names(mount + "/Projekte\x84"), std::vector<std::string>{"Men\x81.txt"});

	const std::string first_log = log();
	run_result second = run();
	EXPECT_EQ(second.status, 0);
	EXPECT_EQ(second.out, report(2, entries, 0));
	EXPECT_EQ(log(), first_log + log_section("", 2, entries, 0));
	EXPECT_EQ(names(mount), after);
	EXPECT_EQ(names(mount + "/Projekte\x84"), std::vector<std::string>{"Men\x81.txt"});
}

}  // namespace
