// libFuzzer target for decide_name: arbitrary names under arbitrary tables and
// transliterations. Input: one byte whose lowest bit chooses the table (0: the identity table,
// 1: the next 256 bytes, short ones padded with 0) and whose other bits choose which kept
// escapes get which transliteration, then the name up to its first 0 byte. The name is decoded
// with and without the transliterations, against an independent reference. Then it is decoded
// twice, with that table rid of its entries that give ':' or a hex digit and with the shipped
// files: the second decoding must leave the name as the first left it, which is what makes a
// rerun safe. Last, the name is decoded through a pair of charsets of one byte a character and,
// as it stands and with its bytes above 127 escaped as the server writes them, through a pair
// whose source has characters of several bytes, each chosen by the first byte: twice must equal
// once, no result may hold a '/' or NUL the name did not, or pass 255 bytes, and a name decoded
// whole is what iconv makes of it, or stays.
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "decide.h"

namespace
{

unsigned char table[256];   // the table in use, for the reference
std::string translit[256];  // and its transliterations
bool transliterate;         // names are decoded with the transliterations
decoder_ptr shipped[2];     // the shipped files, without and with the transliterations

// The volumes' charsets and the targets a server may keep names in, each pair's decoder built
// once, at start, as a run builds it.
const char *const sources[] = {"MACINTOSH", "MAC-CENTRALEUROPE", "MACCYRILLIC", "MACUKRAINIAN",
                               "MAC-IS",    "MAC-SAMI"};
const char *const targets[] = {"UTF-8", "CP850", "CP437", "ISO-8859-1", "CP1252"};
const char *const wide_sources[] = {"CP932",   "EUC-JP", "CP949",  "GBK",  "BIG5-HKSCS",
                                    "GB18030", "UTF-8",  "EUC-KR", "BIG5", "EUC-TW"};
const char *const wide_targets[] = {"UTF-8", "GB18030", "CP932"};
std::vector<decoder_ptr> pairs;
std::vector<decoder_ptr> wide_pairs;
// Each wide pair's own conversion, for the reference; never closed, as the pairs are kept.
iconv_t wide_iconv[std::size(wide_sources) * std::size(wide_targets)];

// Transliterations that follow the file's rules and press on the joints: hex digits that
// could complete an escape, and dots and blanks that could end a name.
const char *const candidates[] = {"E", "EUR", "fi", "fe", "0", "9z", "o", "...", "(TM)", "a b"};
constexpr unsigned n_candidates = sizeof candidates / sizeof candidates[0];

bool kept(unsigned value)
{
	return value == '.' || value == '/' || table[value] == 0 || table[value] == '/';
}

// Gives some of the escapes the table keeps a transliteration, as `seed` chooses, in `text`. Not
// traced for coverage: its 256 rounds would cost more than the decoding under test.
__attribute__((no_sanitize("coverage"))) void choose_translit(unsigned seed, std::string &text)
{
	text.clear();
	for (unsigned v = 0; v < 256; v++) {
		unsigned pick = (v * 5 + seed) % (n_candidates + 2);
		bool allowed = kept(v) && v != '.' && v != '/';
		translit[v] = allowed && pick < n_candidates ? candidates[pick] : "";
		if (!translit[v].empty())
			text.append({"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15], ' '})
			        .append(translit[v])
			        .append("\n");
	}
}

// The decoder of the table in use with the transliterations `text`, taken if `on`.
void use_translit(decoder &d, const std::string &text, bool on)
{
	transliterate = on;
	if (add_transliterations(d, text, on))
		std::abort();
}

int hex_value(unsigned char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<unsigned char>(c | 0x20);
	return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void fail(const char *what, const std::string &name, const std::string &out)
{
	std::fprintf(stderr, "decide_name broke its contract: %s\nname (%zu bytes):", what,
	             name.size());
	for (unsigned char c : name)
		std::fprintf(stderr, " %02x", c);
	std::fprintf(stderr, "\nout (%zu bytes):", out.size());
	for (unsigned char c : out)
		std::fprintf(stderr, " %02x", c);
	std::fprintf(stderr, "\n");
	std::abort();
}

// The name as it must come out, in one pass: ':' and two hex digits is an escape; it becomes
// its table byte unless its value is '.' or '/' or that byte is 0 or '/', when it stays or,
// with `with_translit`, takes its transliteration where no ':' among the last two bytes
// before it would be followed by hex digits only. A transliterated name that is longer than
// 255 bytes or ends in '.' or a blank comes out as without the transliterations.
std::string reference(const std::string &name, bool with_translit)
{
	std::string out;
	bool used = false;
	for (std::size_t i = 0; i < name.size();) {
		int high = name[i] == ':' && i + 2 < name.size() ? hex_value(name[i + 1]) : -1;
		int low = high < 0 ? -1 : hex_value(name[i + 2]);
		if (low < 0) {
			out += name[i++];
			continue;
		}
		unsigned value = static_cast<unsigned>(high * 16 + low);
		const std::string &rep = translit[value];
		std::string tail = out.substr(out.size() >= 2 ? out.size() - 2 : 0) + rep;
		bool joint = false;
		for (std::size_t k = 0; k + rep.size() < tail.size(); k++) {
			bool all_hex = tail[k] == ':';
			for (char c : tail.substr(k + 1, 2))
				all_hex = all_hex && hex_value(c) >= 0;
			joint = joint || all_hex;
		}
		if (!kept(value))
			out += static_cast<char>(table[value]);
		else if (with_translit && !rep.empty() && !joint)
			out += rep, used = true;
		else
			out.append(name, i, 3);
		i += 3;
	}
	if (used && (out.size() > 255 || out.back() == '.' || out.back() == ' '))
		return reference(name, false);
	return out;
}

std::size_t count_of(const std::string &text, char c)
{
	std::size_t n = 0;
	for (char x : text)
		n += x == c ? 1 : 0;
	return n;
}

// `name` as `d` decides it: its new name, or itself.
std::string decoded(const decoder &d, const std::string &name)
{
	decision out;
	decide_name(d, name, out);
	return out.renamed ? out.name : name;
}

// decide_name's contract for `name` under the table and transliterations in use.
void check_contract(const decoder &d, const std::string &name)
{
	decision decided;
	decide_name(d, name, decided);
	const std::string &out = decided.name;
	std::string expected = reference(name, transliterate);
	if (!decided.renamed) {
		if (expected != name)
			fail("reported no change for a name that needs one", name, expected);
		return;
	}
	if (out.size() > name.size() && (!transliterate || out.size() > 255))
		fail("output longer than the name", name, out);
	if (out.find('\0') != std::string::npos)
		fail("0 byte in the output", name, out);
	if (count_of(out, '/') > count_of(name, '/'))
		fail("a '/' the name did not hold", name, out);
	if (out == name)
		fail("reported a change for a name that needs none", name, out);
	if (out != expected)
		fail("not the single-pass decoding, with every kept escape unchanged", name, out);
}

void check_idempotent(const decoder &d, const std::string &name)
{
	std::string once = decoded(d, name);
	std::string twice = decoded(d, once);
	if (twice != once)
		fail("decoding the decoded name changed it again", once, twice);
}

// decide_name's contract through charsets: never longer than 255 bytes, no '/' or NUL the name
// did not hold, and decoding the result again leaves it.
void check_charsets(const decoder &d, const std::string &name)
{
	std::string out = decoded(d, name);
	if (out.size() > 255 && out != name)
		fail("through charsets, longer than 255 bytes", name, out);
	if (count_of(out, '/') > count_of(name, '/') || count_of(out, '\0') > count_of(name, '\0'))
		fail("through charsets, a '/' or NUL the name did not hold", name, out);
	check_idempotent(d, name);
}

// What iconv `cd` makes of `name` decoded whole, its escapes above 127 as bytes, where the name
// holds no other byte above 127 and the result is a name that no rerun decodes; else `name`.
std::string whole_reference(iconv_t cd, const std::string &name)
{
	std::string bytes;
	for (std::size_t i = 0; i < name.size(); i++) {
		int high = name[i] == ':' && i + 2 < name.size() ? hex_value(name[i + 1]) : -1;
		int value = high < 0 || hex_value(name[i + 2]) < 0
		                    ? -1
		                    : high * 16 + hex_value(name[i + 2]);
		if (static_cast<unsigned char>(name[i]) >= 0x80)
			return name;
		bytes += value >= 0x80 ? static_cast<char>(value) : name[i];
		i += value >= 0x80 ? 2 : 0;
	}
	std::string out(16 + 8 * bytes.size(), '\0');
	char *in = bytes.data();
	char *to = out.data();
	std::size_t in_left = bytes.size();
	std::size_t to_left = out.size();
	(void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
	if (bytes == name || iconv(cd, &in, &in_left, &to, &to_left) != 0 ||
	    iconv(cd, nullptr, nullptr, &to, &to_left) != 0)
		return name;
	out.resize(out.size() - to_left);
	for (std::size_t i = out.find(':'); i != std::string::npos; i = out.find(':', i + 1))
		if (i + 2 < out.size() && hex_value(out[i + 1]) >= 8 && hex_value(out[i + 2]) >= 0)
			return name;
	bool bad = out.empty() || out == "." || out == ".." || out.size() > 255 ||
	           out.find_first_of(std::string("/\0", 2)) != std::string::npos;
	return bad ? name : out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::string files[2];
	for (int i = 0; i < 2; i++) {
		std::FILE *f = std::fopen(i == 0 ? SHIPPED_TABLE : SHIPPED_TRANSLIT, "rb");
		int c;
		while (f != nullptr && (c = std::fgetc(f)) != EOF)
			files[i] += static_cast<char>(c);
		if (f == nullptr || (i == 0 && files[0].size() != 256)) {
			std::fprintf(stderr, "%s: not a table of 256 bytes\n", SHIPPED_TABLE);
			std::abort();
		}
		(void)std::fclose(f);
	}
	for (bool on : {false, true}) {
		shipped[on] = table_decoder(files[0]);
		if (fault f = add_transliterations(*shipped[on], files[1], on)) {
			std::fprintf(stderr, "%s: %s\n", SHIPPED_TRANSLIT,
			             fault_text(f, true).c_str());
			std::abort();
		}
	}
	auto add = [](std::vector<decoder_ptr> &to, const char *from, const char *target) {
		if (fault f = charset_decoder(from, target, to.emplace_back())) {
			std::fprintf(stderr, "%s to %s: %s\n", from, target,
			             fault_text(f, true).c_str());
			std::abort();
		}
	};
	for (const char *from : sources)
		for (const char *to : targets)
			add(pairs, from, to);
	for (const char *from : wide_sources) {
		for (const char *to : wide_targets) {
			add(wide_pairs, from, to);
			wide_iconv[wide_pairs.size() - 1] = iconv_open(to, from);
		}
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	std::memset(table, 0, sizeof table);
	std::size_t at = 1;
	if ((data[0] & 1) == 0) {
		for (unsigned v = 1; v < 256; v++)
			table[v] = v == '/' ? 0 : static_cast<unsigned char>(v);
	} else {
		std::size_t n = size - 1 < sizeof table ? size - 1 : sizeof table;
		std::memcpy(table, data + 1, n);
		at += n;
	}
	const char *begin = reinterpret_cast<const char *>(data) + at;
	std::string name(begin, strnlen(begin, size - at));
	unsigned seed = data[0] >> 1;

	std::string text;
	choose_translit(seed, text);
	decoder_ptr d = table_decoder(std::string_view(reinterpret_cast<char *>(table), 256));
	for (bool on : {false, true}) {
		use_translit(*d, text, on);
		check_contract(*d, name);
	}
	// A decoded byte can start or complete an escape only if it is ':' or a hex digit, and a
	// transliteration holds no ':': without such table entries, and with transliterations
	// that follow the file's rules, any table leaves a decoded name as it is.
	for (unsigned char &byte : table)
		if (byte == ':' || hex_value(byte) >= 0)
			byte = 0;
	choose_translit(seed, text);
	d = table_decoder(std::string_view(reinterpret_cast<char *>(table), 256));
	for (bool on : {false, true}) {
		use_translit(*d, text, on);
		check_idempotent(*d, name);
		check_idempotent(*shipped[on], name);
	}
	check_charsets(*pairs[seed % pairs.size()], name);
	// As the server writes a name of the charset: each byte above 127 an escape.
	std::string escaped;
	for (unsigned char c : name) {
		char hex[4];
		(void)std::snprintf(hex, sizeof hex, ":%02x", c);
		escaped += c >= 0x80 ? std::string(hex) : std::string(1, static_cast<char>(c));
	}
	std::size_t pair = seed % wide_pairs.size();
	for (const std::string &n : {name, escaped}) {
		check_charsets(*wide_pairs[pair], n);
		if (decoded(*wide_pairs[pair], n) != whole_reference(wide_iconv[pair], n))
			fail("decoded whole, not what iconv makes of the name", n,
			     decoded(*wide_pairs[pair], n));
	}
	return 0;
}
