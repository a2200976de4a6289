// libFuzzer target for decode_name: arbitrary names under arbitrary tables and
// transliterations. Input: one byte whose lowest bit chooses the table (0: the identity table,
// 1: the next 256 bytes, short ones padded with 0) and whose other bits choose which kept
// escapes get which transliteration, then the name up to its first 0 byte. The name is decoded
// with and without the transliterations, against an independent reference. Then it is decoded
// twice, with that table rid of its entries that give ':' or a hex digit and with the shipped
// files: the second decoding must leave the name as the first left it, which is what makes a
// rerun safe. Last, the name is decoded through a pair of charsets, chosen by the first byte:
// twice must equal once, and no result may hold a '/' or NUL the name did not, or pass 255
// bytes.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "decide.h"

namespace
{

unsigned char shipped[256];
bool transliterate;  // names are decoded with the transliterations
std::string shipped_translit[256];

// The volumes' Mac charsets and the targets a server may keep names in, each pair's codes
// computed once, at start, as a run computes them.
const char *const sources[] = {"MACINTOSH", "MAC-CENTRALEUROPE", "MACCYRILLIC", "MACUKRAINIAN",
                               "MAC-IS",    "MAC-SAMI"};
const char *const targets[] = {"UTF-8", "CP850", "CP437", "ISO-8859-1", "CP1252"};
constexpr unsigned n_pairs = std::size(sources) * std::size(targets);
std::string pair_codes[n_pairs][256];

// Transliterations that follow the file's rules and press on the joints: hex digits that
// could complete an escape, and dots and blanks that could end a name.
const char *const candidates[] = {"E", "EUR", "fi", "fe", "0", "9z", "o", "...", "(TM)", "a b"};
constexpr unsigned n_candidates = sizeof candidates / sizeof candidates[0];

__attribute__((no_sanitize("coverage"))) void use_shipped()
{
	std::memcpy(mactable, shipped, sizeof mactable);
	for (unsigned v = 0; v < 256; v++)
		translit[v] = shipped_translit[v];
}

bool kept(unsigned value)
{
	return value == '.' || value == '/' || mactable[value] == 0 || mactable[value] == '/';
}

// Gives some of the escapes the table keeps a transliteration, as `seed` chooses. Not traced
// for coverage: its 256 rounds would cost more than the decoding under test.
__attribute__((no_sanitize("coverage"))) void choose_translit(unsigned seed)
{
	for (unsigned v = 0; v < 256; v++) {
		unsigned pick = (v * 5 + seed) % (n_candidates + 2);
		bool allowed = kept(v) && v != '.' && v != '/';
		translit[v] = allowed && pick < n_candidates ? candidates[pick] : "";
	}
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
	std::fprintf(stderr, "decode_name broke its contract: %s\nname (%zu bytes):", what,
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

// decode_name's contract for `name` under the table and transliterations in use.
void check_contract(const std::string &name)
{
	std::string out = "untouched";
	bool changed = decode_name(name.c_str(), out, transliterate);

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
	std::string out;
	return decode_name(name.c_str(), out, transliterate) ? out : name;
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

// decode_name's contract through the charset pair `pair`.
void check_charsets(unsigned pair, const std::string &name)
{
	by_charset = true;
	for (unsigned v = 0; v < 256; v++)
		charset_code[v] = pair_codes[pair][v];
	transliterate = false;
	std::string out;
	if (decode_name(name.c_str(), out, false)) {
		if (out.size() > 255)
			fail("through charsets, longer than 255 bytes", name, out);
		if (count_of(out, '/') > count_of(name, '/') || out.find('\0') != std::string::npos)
			fail("through charsets, a '/' or NUL the name did not hold", name, out);
	}
	check_idempotent(name);
	by_charset = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::FILE *f = std::fopen(SHIPPED_TABLE, "rb");
	if (f == nullptr || std::fread(shipped, 1, sizeof shipped, f) != sizeof shipped ||
	    std::fgetc(f) != EOF) {
		std::fprintf(stderr, "%s: not a table of 256 bytes\n", SHIPPED_TABLE);
		std::abort();
	}
	(void)std::fclose(f);
	std::memcpy(mactable, shipped, sizeof mactable);
	if (fault f = load_translit(open(SHIPPED_TRANSLIT, O_RDONLY | O_CLOEXEC))) {
		std::fprintf(stderr, "%s: %s\n", SHIPPED_TRANSLIT, fault_text(f, true).c_str());
		std::abort();
	}
	for (unsigned v = 0; v < 256; v++)
		shipped_translit[v] = translit[v];
	for (unsigned pair = 0; pair < n_pairs; pair++) {
		const char *from = sources[pair / std::size(targets)];
		const char *to = targets[pair % std::size(targets)];
		if (fault f = load_charsets(from, to)) {
			std::fprintf(stderr, "%s to %s: %s\n", from, to,
			             fault_text(f, true).c_str());
			std::abort();
		}
		for (unsigned v = 0; v < 256; v++)
			pair_codes[pair][v] = charset_code[v];
	}
	by_charset = false;
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

	choose_translit(seed);
	for (bool on : {false, true}) {
		transliterate = on;
		check_contract(name);
	}
	// A decoded byte can start or complete an escape only if it is ':' or a hex digit, and a
	// transliteration holds no ':': without such table entries, and with transliterations
	// that follow the file's rules, any table leaves a decoded name as it is.
	for (unsigned char &byte : mactable)
		if (byte == ':' || hex_value(byte) >= 0)
			byte = 0;
	choose_translit(seed);
	for (bool on : {false, true}) {
		transliterate = on;
		check_idempotent(name);
	}
	use_shipped();
	for (bool on : {false, true}) {
		transliterate = on;
		check_idempotent(name);
	}
	check_charsets(seed % n_pairs, name);
	return 0;
}
