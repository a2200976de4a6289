// The decision of a name, in-process: one table of names and what they become.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decide.h"

namespace
{

// Every escape gives the byte of its own value, but 0x01, 0x80 to 0x83 and '/' give nothing;
// 0x80 to 0x83 have transliterations, one of which would end a name in '.' and one of which
// would complete an escape.
void set_up_table()
{
	for (int v = 0; v < 256; v++) {
		mactable[v] = static_cast<unsigned char>(v);
		translit[v].clear();
	}
	for (int v : {0x01, 0x2F, 0x80, 0x81, 0x82, 0x83})
		mactable[v] = 0;
	translit[0x80] = "EUR";
	translit[0x81] = "a.";
	translit[0x82] = "1";
	translit[0x83] = "fi";
}

TEST(decide, names_and_what_they_become)
{
	struct name_case {
		std::string name;
		bool transliterate;
		const char *becomes;  // nullptr: the name stays
	};
	const std::vector<name_case> cases = {
	        {"plain name.txt", false, nullptr},
	        {"Report:2fMay", false, nullptr},  // '/' and '.' always stay escapes
	        {":2eprofile", false, nullptr},
	        {":2E:2F", true, nullptr},
	        {"a:8Ab", false,
	         "a\x8a"
	         "b"},
	        {"a:8ab", false,
	         "a\x8a"
	         "b"},
	        {"x:3ay", false, "x:y"},
	        {"Note:8zed", false, nullptr},  // no escape without two hex digits
	        {"a:3:41", false, "a:3A"},      // the second ':' is no digit of the first
	        {"ends in:", false, nullptr},
	        {"ends in:4", false, nullptr},
	        {"ab:01cd", false, nullptr},  // nothing in the table: never cut
	        {"Caf:8e:8E", false, "Caf\x8e\x8e"},
	        {"a:00b", false, nullptr},  // nor cut at a 0 byte
	        {"x:80", false, nullptr},
	        {"x:80", true, "xEUR"},
	        {"x:80:41", true, "xEURA"},
	        {"x:81", true, nullptr},  // "xa." would end in '.': decoded without
	        {"x:81:41", true, "xa.A"},
	        {":4:82", true, nullptr},  // "1" after ":4" would make the escape ":41"
	        {"fi:83le", true, "fifile"},
	};
	set_up_table();
	for (const name_case &c : cases) {
		SCOPED_TRACE(c.name + (c.transliterate ? " (transliterated)" : ""));
		std::string out;
		bool changed = decode_name(c.name.c_str(), out, c.transliterate);
		EXPECT_EQ(changed, c.becomes != nullptr);
		if (changed && c.becomes != nullptr) {
			EXPECT_EQ(out, c.becomes);
		}
	}
	EXPECT_STREQ(translit_misfit("x:81"), "would end in '.'");
	EXPECT_EQ(translit_misfit("x:80"), nullptr);
	EXPECT_STREQ(why_kept(0x2F), "is '/'");
	EXPECT_STREQ(why_kept(0x01), "has no byte in the table");
	EXPECT_EQ(why_kept(0x41), nullptr);
}

// Charset pairs through iconv: what a few names become, why escapes stay, and the pairs refused.
TEST(decide, names_through_charsets)
{
	struct charset_case {
		const char *from;
		const char *to;
		const char *refused;  // the fault's reason; nullptr: accepted
		std::string name;
		const char *becomes;  // nullptr: the name stays
		int kept;             // a code that stays an escape, and why; -1: none
		const char *why;
	};
	const std::vector<charset_case> cases = {
	        {"MACINTOSH", "UTF-8", nullptr, "Caf:8e", "Caf\xc3\xa9", 0x41, "is ASCII"},
	        {"MACINTOSH", "CP850", nullptr, "Caf:8e:2e", "Caf\x82:2e", 0x2E, "is '.'"},
	        {"MACINTOSH", "CP850", nullptr, "Apple:f0", nullptr, 0xF0,
	         "has no character in CP850"},
	        {"MAC-CENTRALEUROPE", "UTF-8", nullptr, ":8besk:87",
	         "\xc4\x8d"
	         "esk\xc3\xa1",
	         0x2F, "is '/'"},
	        {"MAC-CENTRALEUROPE", "CP850", nullptr, ":89:8e", ":89\x82", 0x89,
	         "has no character in CP850"},
	        {"MACCYRILLIC", "UTF-8", nullptr, ":8c:e8:f0", "\xd0\x9c\xd0\xb8\xd1\x80", -1,
	         nullptr},
	        {"MACINTOSH", "UTF-8", nullptr, ":3a:4:8e", ":3a:4\xc3\xa9", -1, nullptr},
	        {"MACINTOSH", "UTF-8", nullptr, "x:8e:41", "x\xc3\xa9:41", -1, nullptr},
	        {"FOO", "UTF-8", "unknown charset FOO", "", nullptr, -1, nullptr},
	        {"MACINTOSH", "BAR", "unknown charset BAR", "", nullptr, -1, nullptr},
	        {"", "UTF-8", "a charset needs a name", "", nullptr, -1, nullptr},
	        {"MACINTOSH", "UTF-16", "UTF-16 does not keep ASCII as it is", "", nullptr, -1,
	         nullptr},
	        {"MACINTOSH", "UTF-32", "UTF-32 does not keep ASCII as it is", "", nullptr, -1,
	         nullptr},
	        {"UTF-8", "CP850", nullptr, "Caf:c3:a9", "Caf\x82", -1, nullptr},
	        {"SHIFT_JIS", "UTF-8", "SHIFT_JIS does not keep ASCII as it is: try CP932", "",
	         nullptr, -1, nullptr},
	        {"EBCDIC-US", "UTF-8", "EBCDIC-US does not keep ASCII as it is", "", nullptr, -1,
	         nullptr},
	        {"MACINTOSH", "BIG5-HKSCS", "BIG5-HKSCS keeps a shift state", "", nullptr, -1,
	         nullptr},
	        {"ISO-2022-KR", "UTF-8", "ISO-2022-KR keeps a shift state", "", nullptr, -1,
	         nullptr},
	        {"MACINTOSH", "CP850//TRANSLIT",
	         "charset suffixes such as //TRANSLIT are not taken", "", nullptr, -1, nullptr},
	};
	for (const charset_case &c : cases) {
		SCOPED_TRACE(std::string(c.from) + " to " + c.to + ": " + c.name);
		fault f = load_charsets(c.from, c.to);
		EXPECT_EQ(f.why, c.refused != nullptr ? c.refused : "");
		EXPECT_EQ(by_charset, c.refused == nullptr);
		if (c.refused != nullptr)
			continue;
		std::string out;
		bool changed = decode_name(c.name.c_str(), out, false);
		EXPECT_EQ(changed, c.becomes != nullptr);
		if (changed && c.becomes != nullptr) {
			EXPECT_EQ(out, c.becomes);
		}
		if (c.kept >= 0) {
			EXPECT_STREQ(why_kept(c.kept), c.why);
		}
	}
	// A name that would grow past 255 bytes stays whole: in GB18030 the bullet, :a5, takes 4
	// bytes, so 200 bytes and 15 escapes, 245 bytes, would make 260.
	ASSERT_FALSE(load_charsets("MACINTOSH", "GB18030"));
	ASSERT_EQ(charset_code[0xA5].size(), 4U);
	std::string grows = std::string(200, 'x');
	for (int i = 0; i < 15; i++)
		grows += ":a5";
	std::string out;
	EXPECT_FALSE(decode_name(grows.c_str(), out, false));
	EXPECT_STREQ(translit_misfit(grows.c_str()), "would be longer than 255 bytes");
	grows.erase(0, 5);
	EXPECT_TRUE(decode_name(grows.c_str(), out, false));
	EXPECT_EQ(out.size(), 255U);
	load_table(-1);
	EXPECT_FALSE(by_charset);
}

}  // namespace
