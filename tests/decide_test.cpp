// The decision of a name, in-process: one table of names and what they become.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "decide.h"

namespace
{

// Every escape gives the byte of its own value, but 0x01, 0x80 to 0x83 and '/' give nothing;
// 0x80 to 0x83 have transliterations, one of which would end a name in '.' and one of which
// would complete an escape.
std::string test_table()
{
	std::string table;
	for (int v = 0; v < 256; v++)
		table += static_cast<char>(v == 0x01 || v == 0x2F || (v >= 0x80 && v <= 0x83) ? 0
		                                                                              : v);
	return table;
}

// A decision in one line: the new name or "=", what it keeps, and whether it looks multi-byte.
std::string decided(const decoder &d, const std::string &name)
{
	decision out;
	decide_name(d, name, out);
	std::string text = out.renamed ? out.name : "=";
	for (const kept_span &span : out.kept)
		text.append(&span == out.kept.data() ? " kept (" : ", ")
		        .append(span.what)
		        .append(" ")
		        .append(span.why);
	text += out.kept.empty() ? "" : ")";
	return text + (looks_multibyte(d, name) ? " *" : "");
}

std::string repeated(const std::string &text, int times)
{
	std::string out;
	while (times-- > 0)
		out += text;
	return out;
}

TEST(decide, names_and_what_they_become)
{
	// "table"; "table+t" with the transliterations, "table?t" with them read but not taken, as
	// in a dry run without the option; "FROM>TO" for charsets.
	struct name_case {
		const char *decoder;
		std::string name;
		std::string becomes;  // as decided() shows it; "refused: WHY" for a refused decoder
	};
	const std::string u8 = ":e5:85:b1:e6:9c:89.txt";  // 共有.txt in UTF-8
	const std::string translit = "80 EUR\n81 a.\n82 1\n83 fi\n";
	const std::string bullets = repeated(":a5", 15);
	const std::vector<name_case> cases = {
	        // The table, escape by escape: '/' and '.' always stay escapes, nothing is cut.
	        {"table", "plain name.txt", "="},
	        {"table", "Report:2fMay", "= kept (:2f is '/')"},
	        {"table", ":2eprofile", "= kept (:2e is '.')"},
	        {"table", "a:8Ab", "a\212b"},
	        {"table", "a:8ab", "a\212b"},
	        {"table", "x:3ay", "x:y"},
	        {"table", "Note:8zed", "="},  // no escape without two hex digits
	        {"table", "a:3:41", "a:3A kept (:3A would be decoded by the next run)"},
	        {"table", "ends in:", "="},
	        {"table", "ends in:4", "="},
	        {"table", "ab:01cd", "="},  // ASCII that the table lacks: text, not listed
	        {"table", "Caf:8e:8E", "Caf\x8e\x8e"},
	        {"table", "a:00b", "="},
	        {"table", "x:3a41", "x:41 kept (:41 would be decoded by the next run)"},
	        {"table", "x:80", "= kept (:80 has no byte in the table)"},
	        {"table?t", "x:80",
	         "= kept (:80 has no byte in the table; --transliterate gives \"EUR\")"},
	        {"table?t", "x:81", "= kept (:81 has no byte in the table)"},  // "xa.": no
	        {"table+t", ":2E:2F", "= kept (:2E is '.', :2F is '/')"},
	        {"table+t", "x:80", "xEUR"},
	        {"table+t", "x:80:41", "xEURA"},
	        {"table+t", "x:81",
	         "= kept (:81 has no byte in the table; transliterated, the name would end in "
	         "'.')"},
	        {"table+t", "x:81:41", "xa.A"},
	        {"table+t", ":4:82",
	         "= kept (:82 has no byte in the table; \"1\" would complete an escape)"},
	        {"table+t", "fi:83le", "fifile"},
	        // Charsets of one byte a character, escape by escape.
	        {"MACINTOSH>UTF-8", "Caf:8e:41", "Caf\xc3\xa9:41"},
	        {"MACINTOSH>CP850", "Caf:8e:2e", "Caf\x82:2e kept (:2e is '.')"},
	        {"MACINTOSH>CP850", "Apple:f0", "= kept (:f0 has no character in CP850)"},
	        {"MAC-CENTRALEUROPE>UTF-8", ":8besk:87:2f",
	         "\304\215esk\303\241:2f kept (:2f is '/')"},
	        {"MAC-CENTRALEUROPE>CP850", ":89:8e",
	         ":89\x82 kept (:89 has no character in CP850)"},
	        {"MACCYRILLIC>UTF-8", ":8c:e8:f0", "\xd0\x9c\xd0\xb8\xd1\x80"},
	        {"MACINTOSH>UTF-8", ":3a:4:8e", ":3a:4\xc3\xa9"},
	        // In GB18030 the bullet, :a5, takes 4 bytes: 200 bytes and 15 escapes would make
	        // 260.
	        {"MACINTOSH>GB18030", std::string(200, 'x') + bullets,
	         "= kept (:a5 stays: the name would be longer than 255 bytes)"},
	        {"MACINTOSH>GB18030", std::string(195, 'x') + bullets,
	         std::string(195, 'x') + repeated("\x81\x36\xa6\x31", 15)},
	        {"FOO>UTF-8", "", "refused: unknown charset FOO"},
	        {"MACINTOSH>BAR", "", "refused: unknown charset BAR"},
	        {">UTF-8", "", "refused: a charset needs a name"},
	        {"MACINTOSH>UTF-16", "", "refused: UTF-16 does not keep ASCII as it is"},
	        {"MACINTOSH>UTF-32", "", "refused: UTF-32 does not keep ASCII as it is"},
	        {"EBCDIC-US>UTF-8", "", "refused: EBCDIC-US does not keep ASCII as it is"},
	        {"MACINTOSH>BIG5-HKSCS", "", "refused: BIG5-HKSCS keeps a shift state"},
	        {"ISO-2022-KR>UTF-8", "", "refused: ISO-2022-KR keeps a shift state"},
	        {"MACINTOSH>CP850//TRANSLIT", "",
	         "refused: charset suffixes such as //TRANSLIT are not taken"},
	        // Charsets of several bytes a character: each name whole, or kept whole.
	        {"CP932>UTF-8", ":8b:a4:97L.txt", "共有.txt"},
	        {"CP932>UTF-8", ":83\\:83t:83g:95\\.doc", "ソフト表.doc"},
	        {"CP932>UTF-8", ":b6:c0:b6:c5.txt", "ｶﾀｶﾅ.txt"},
	        {"CP932>UTF-8", "10:30 :8b:a4:97L:2f", "10:30 共有:2f kept (:2f is '/')"},
	        {"CP932>UTF-8", "Meeting 10:30:2e", "= kept (:2e is '.')"},
	        {"CP932>UTF-8", ":83.txt", "= kept (name is not CP932 text at byte 1)"},
	        {"CP932>UTF-8", "ab:83", "= kept (name is not CP932 text at byte 3)"},
	        {"CP932>UTF-8", "x:85:40", "= kept (name is not CP932 text at byte 2)"},
	        {"CP932>UTF-8", "\xe5:8b:a4:97L",
	         "= kept (name holds a byte above 127 that is no escape)"},
	        {"CP932>CP850", ":8b:a4:97L", "= kept (name has a character not in CP850)"},
	        // Half-width kana takes 4 bytes in GB18030.
	        {"CP932>GB18030", repeated(":b6", 85),
	         "= kept (name would be longer than 255 bytes)"},
	        {"EUC-JP>UTF-8", "Caf:8f:ab:b1.txt", "Café.txt"},
	        {"CP949>UTF-8", ":81A:81a.txt", "갂갵.txt"},
	        {"GBK>UTF-8", ":81\\:81@.txt", "乗丂.txt"},
	        {"BIG5>UTF-8", ":b3\\:a5\\:bb\\.txt", "許功蓋.txt"},
	        {"BIG5-HKSCS>UTF-8", ":b3\\:a5\\:88b", "許功Ê̄"},
	        {"GB18030>UTF-8", ":952:826:d7:d6.txt", "𠀀字.txt"},
	        {"UTF-8>UTF-8", u8, "共有.txt"},
	        {"UTF-8>UTF-8", ":e5:85.txt", "= kept (name is not UTF-8 text at byte 1)"},
	        {"UTF-8>CP850", "Caf:c3:a9", "Caf\x82"},
	        {"SHIFT_JIS>UTF-8", "",
	         "refused: SHIFT_JIS does not keep ASCII as it is: try CP932"},
	        {"JOHAB>UTF-8", "", "refused: JOHAB does not keep ASCII as it is"},
	        {"UTF-16>UTF-8", "", "refused: UTF-16 does not keep ASCII as it is"},
	        {"ISO-2022-JP>UTF-8", "", "refused: ISO-2022-JP keeps a shift state"},
	        {"UTF-7>UTF-8", "", "refused: UTF-7 keeps a shift state"},
	        {"CP932>ISO-2022-JP", "", "refused: ISO-2022-JP keeps a shift state"},
	        {"UTF-8>BIG5-HKSCS", "", "refused: BIG5-HKSCS keeps a shift state"},
	        // Names that another charset's text made, read escape by escape: told (*).
	        {"table", u8, "\xe5\x85\xb1\xe6\x9c\x89.txt *"},
	        {"MACINTOSH>UTF-8", "Caf:c3:a9.txt", "Caf\xe2\x88\x9a\xc2\xa9.txt *"},
	        {"table", ":83\\:83t.doc", "= kept (:83 has no byte in the table) *"},
	        {"table", ":f0:a0:84:84.txt", "\xf0\xa0\x84\x84.txt *"},
	        {"table", "Caf:8es.txt", "Caf\x8es.txt"},        // é and a letter
	        {"table", "R:8esum:8e_1", "R\x8esum\x8e_1"},     // é and '_'
	        {"table", "l:d5:8ecole", "l\325\216cole"},       // ’é: U+054E, Armenian
	        {"table", "Caf:c3:a9 :8e", "Caf\xc3\xa9 \x8e"},  // :8e in no sequence
	        {"UTF-8>UTF-8", ":83\\", "= kept (name is not UTF-8 text at byte 1)"},
	};
	for (const name_case &c : cases) {
		SCOPED_TRACE(std::string(c.decoder) + ": " + c.name);
		std::string kind = c.decoder;
		std::size_t arrow = kind.find('>');
		decoder_ptr d = table_decoder(test_table());
		fault f = arrow != std::string::npos
		                  ? charset_decoder(kind.substr(0, arrow).c_str(),
		                                    kind.substr(arrow + 1).c_str(), d)
		                  : add_transliterations(*d, kind == "table" ? "" : translit,
		                                         kind == "table+t");
		EXPECT_EQ(f ? "refused: " + f.why : decided(*d, c.name), c.becomes);
	}
	// Nor is a Mac Roman name told, such as the Samba test's, one a code.
	decoder_ptr table = table_decoder(test_table());
	for (int code = 0x80; code < 0x100; code++) {
		char name[16];
		(void)std::snprintf(name, sizeof name, "%02x :%02x.txt", code, code);
		EXPECT_FALSE(looks_multibyte(*table, name)) << name;
	}
	bool missing = true;
	EXPECT_EQ(size_note(*table_decoder(std::string(257, 'x')), missing),
	          "more than 256 bytes: the bytes after the 256th are not used");
	EXPECT_FALSE(missing);
}

}  // namespace
