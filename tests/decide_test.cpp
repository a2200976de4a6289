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

}  // namespace
