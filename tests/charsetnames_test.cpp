// The names offered for a charset that iconv does not know, in-process: one table of names.
#include <gtest/gtest.h>

#include "charsetnames.h"

TEST(charset_names, closest_known_names_or_none)
{
	const std::vector<std::string> known = {"CP850",     "CP852",       "CP855",
	                                        "CP857",     "MACCYRILLIC", "MAC-CENTRALEUROPE",
	                                        "MACINTOSH", "UTF-7",       "UTF-8"};
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {"MAC-CENTRAL-EUROPE", "MAC-CENTRALEUROPE?"},
	        {"utf-9", "UTF-7 or UTF-8?"},
	        {"CP85", "CP850, CP852 or CP855?"},
	        {"CP8500", "CP850?"},
	        {"MACINTOSHXY", "MACINTOSH?"},
	        {"MACINTOSHXYZ", ""},
	        {"XP8500", ""},  // 2 off, but not less than a third of its length
	        {"FOO", ""},
	        {"", ""}};
	for (const auto &[name, text] : cases)
		EXPECT_EQ(did_you_mean(closest_names(name, known)),
		          text.empty() ? "" : ": did you mean " + text)
		        << name;
}
