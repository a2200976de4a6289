// The names offered for a charset that iconv does not know, in-process: one table of names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "charsetnames.h"

namespace
{

TEST(charset_names, closest_known_names_or_none)
{
	const std::vector<std::string> known = {
	        "CP850",       "CP852",     "CP855", "CP857", "MAC-CENTRALEUROPE",
	        "MACCYRILLIC", "MACINTOSH", "UTF-7", "UTF-8"};
	const std::vector<std::pair<std::string, std::string>> cases = {
	        {"MAC-CENTRAL-EUROPE", ": did you mean MAC-CENTRALEUROPE?"},
	        {"maccyrilic", ": did you mean MACCYRILLIC?"},
	        {"utf-9", ": did you mean UTF-7 or UTF-8?"},
	        {"CP85", ": did you mean CP850, CP852 or CP855?"},  // at most three
	        {"CP8500", ": did you mean CP850?"},                // the closest only
	        {"MACINTOSHXY", ": did you mean MACINTOSH?"},       // 2 off
	        {"MACINTOSHXYZ", ""},                               // 3 off
	        {"XP8500", ""},  // 2 off, but not less than a third of its length
	        {"FOO", ""},
	        {"BAR", ""},
	        {"", ""},
	};
	for (const auto &[name, text] : cases)
		EXPECT_EQ(did_you_mean(closest_names(name, known)), text) << name;
}

}  // namespace
