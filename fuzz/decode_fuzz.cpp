// libFuzzer target for decode_name: arbitrary names under arbitrary tables and
// transliterations. Input: one byte whose lowest bit chooses the table (0: the identity table,
// 1: the next 256 bytes, short ones padded with 0) and whose other bits choose which kept
// escapes get which transliteration, then the name up to its first 0 byte. The name is decoded
// with and without the transliterations, against an independent reference. Then it is decoded
// twice, with that table rid of its entries that give ':' or a hex digit and with the shipped
// files: the second decoding must leave the name as the first left it, which is what makes a
// rerun safe. Last, the name is decoded through a pair of charsets, chosen by the first byte,
// and, as it stands and with its bytes above 127 escaped as a server writes them, through a pair
// whose source has characters of several bytes: twice must equal once, and no result may hold
// a '/' or NUL the name did not, or pass 255 bytes, and a name decoded whole keeps no escape.
#include <fcntl.h>

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

unsigned char mactable[256];  // the table in use and its transliterations, for the reference
std::string translit[256];
bool transliterate;      // names are decoded with the transliterations
const decoder *in_use;   // the table in use, or a pair of charsets
decoder_ptr shipped[2];  // the shipped files, without and with the transliterations

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

// Transliterations that follow the file's rules and press on the joints: hex digits that
// could complete an escape, and dots and blanks that could end a name.
const char *const candidates[] = {"E", "EUR", "fi", "fe", "0", "9z", "o", "...", "(TM)", "a b"};
constexpr unsigned n_candidates = sizeof candidates / sizeof candidates[0];

bool kept(unsigned value)
{
	return value == '.' || value == '/' || mactable[value] == 0 || mactable[value] == '/';
}

// Gives some of the escapes the table keeps a transliteration, as `seed` chooses, in the lines
// of `text`. Not traced for coverage: its 256 rounds would cost more than the decoding under test.
__attribute__((no_sanitize("coverage"))) void choose_translit(unsigned seed, std::string &text)
{
	text.clear();
	for (unsigned v = 0; v < 256; v++) {
		unsigned pick = (v * 5 + seed) % (n_candidates + 2);
		bool allowed = kept(v) && v != '.' && v != '/';
		translit[v] = allowed && pick < n_candidates ? candidates[pick] : "";
		if (!translit[v].empty())
			text.append({"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15], ' '})
			        .append(translit[v] + "\n");
	}
}

// Decides with `d`, the table in use with the transliterations of `text`, taken if `on`.
void use_translit(decoder &d, const std::string &text, bool on)
{
	transliterate = on;
	in_use = &d;
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
			out += static_cast<char>(mactable[value]);
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

// decide_name's contract for `name` under the table and transliterations in use.
void check_contract(const std::string &name)
{
	decision decided;
	decide_name(*in_use, name, decided);
	bool changed = decided.renamed;
	const std::string &out = decided.name;

	std::string expected = reference(name, transliterate);
	if (!changed) {
		if (expected != name)
			fail("reported no change for a name that needs one", name, expected);
		return;
	}
	if (out.size() > name.size() && (!transliterate || out.size() > 255))
		fail("output longer than the name", name, out);
	if (out.find('\0') != std::string::npos)
		fail("0 byte in the output", name, out);
	std::size_t slashes_in = 0;
	std::size_t slashes_out = 0;
	for (char c : name)
		slashes_in += c == '/' ? 1 : 0;
	for (char c : out)
		slashes_out += c == '/' ? 1 : 0;
	if (slashes_out > slashes_in)
		fail("a '/' the name did not hold", name, out);
	if (out == name)
		fail("reported a change for a name that needs none", name, out);
	if (out != expected)
		fail("not the single-pass decoding, with every kept escape unchanged", name, out);
}

std::string decoded(const std::string &name)
{
	decision out;
	decide_name(*in_use, name, out);
	return out.renamed ? out.name : name;
}

void check_idempotent(const std::string &name)
{
	std::string once = decoded(name);
	std::string twice = decoded(once);
	if (twice != once)
		fail("decoding the decoded name changed it again", once, twice);
}

std::size_t count_of(const std::string &text, char c)
{
	std::size_t n = 0;
	for (char x : text)
		n += x == c ? 1 : 0;
	return n;
}

// decide_name's contract through the charset pair `d`.
void check_charsets(const decoder &d, const std::string &name)
{
	in_use = &d;
	std::string out = decoded(name);
	if (out != name) {
		if (out.size() > 255)
			fail("through charsets, longer than 255 bytes", name, out);
		if (count_of(out, '/') > count_of(name, '/') || out.find('\0') != std::string::npos)
			fail("through charsets, a '/' or NUL the name did not hold", name, out);
	}
	check_idempotent(name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::FILE *f = std::fopen(SHIPPED_TABLE, "rb");
	std::string table(257, '\0');
	std::string text;
	if (f == nullptr || std::fread(table.data(), 1, 257, f) != 256) {
		std::fprintf(stderr, "%s: not a table of 256 bytes\n", SHIPPED_TABLE);
		std::abort();
	}
	(void)std::fclose(f);
	if (fault f = read_whole(open(SHIPPED_TRANSLIT, O_RDONLY | O_CLOEXEC), text)) {
		std::fprintf(stderr, "%s: %s\n", SHIPPED_TRANSLIT, fault_text(f, true).c_str());
		std::abort();
	}
	for (bool on : {false, true}) {
		shipped[on] = table_decoder(std::string_view(table).substr(0, 256));
		if (add_transliterations(*shipped[on], text, on))
			std::abort();
	}
	for (unsigned pair = 0; pair < std::size(sources) * std::size(targets); pair++) {
		const char *from = sources[pair / std::size(targets)];
		const char *to = targets[pair % std::size(targets)];
		if (fault f = charset_decoder(from, to, pairs.emplace_back())) {
			std::fprintf(stderr, "%s to %s: %s\n", from, to,
			             fault_text(f, true).c_str());
			std::abort();
		}
	}
	for (const char *from : wide_sources)
		for (const char *to : wide_targets)
			if (charset_decoder(from, to, wide_pairs.emplace_back()))
				std::abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	std::memset(mactable, 0, sizeof mactable);
	std::size_t at = 1;
	if ((data[0] & 1) == 0) {
		for (unsigned v = 1; v < 256; v++)
			mactable[v] = v == '/' ? 0 : static_cast<unsigned char>(v);
	} else {
		std::size_t n = size - 1 < sizeof mactable ? size - 1 : sizeof mactable;
		std::memcpy(mactable, data + 1, n);
		at += n;
	}
	const char *begin = reinterpret_cast<const char *>(data) + at;
	std::string name(begin, strnlen(begin, size - at));
	unsigned seed = data[0] >> 1;

	std::string text;
	choose_translit(seed, text);
	decoder_ptr d = table_decoder(std::string_view(reinterpret_cast<char *>(mactable), 256));
	for (bool on : {false, true}) {
		use_translit(*d, text, on);
		check_contract(name);
	}
	// A decoded byte can start or complete an escape only if it is ':' or a hex digit, and a
	// transliteration holds no ':': without such table entries, and with transliterations
	// that follow the file's rules, any table leaves a decoded name as it is.
	for (unsigned char &byte : mactable)
		if (byte == ':' || hex_value(byte) >= 0)
			byte = 0;
	choose_translit(seed, text);
	d = table_decoder(std::string_view(reinterpret_cast<char *>(mactable), 256));
	for (bool on : {false, true}) {
		use_translit(*d, text, on);
		check_idempotent(name);
		in_use = shipped[on].get();
		check_idempotent(name);
	}
	check_charsets(*pairs[seed % pairs.size()], name);
	// As a server of that charset writes it: each byte above 127 an escape.
	std::string escaped;
	for (unsigned char c : name)
		escaped += c < 0x80 ? std::string(1, static_cast<char>(c))
		                    : std::string{':', "0123456789abcdef"[c >> 4],
		                                  "0123456789abcdef"[c & 15]};
	for (const std::string &n : {name, escaped}) {
		check_charsets(*wide_pairs[seed % wide_pairs.size()], n);
		std::string out = decoded(n);
		for (std::size_t i = out.find(':'); out != n && i != std::string::npos;
		     i = out.find(':', i + 1))
			if (i + 2 < out.size() && hex_value(out[i + 1]) >= 8 &&
			    hex_value(out[i + 2]) >= 0)
				fail("decoded whole, in part", n, out);
	}
	return 0;
}
