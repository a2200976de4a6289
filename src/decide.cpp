#include "decide.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

unsigned char mactable[256];
std::size_t table_bytes;
std::string translit[256];
bool by_charset;
std::string charset_code[256];

namespace
{

std::string charset_why[256];  // with by_charset: why an escape of each value stays; "": none

// With a source of characters of several bytes, names are decoded whole, from `source_name` to
// `target_name` through `whole_cd`; `source_cd` (to wide characters) tells where a name is no
// text of the source.
bool whole_names;
iconv_t whole_cd;
iconv_t source_cd;
std::string source_name;
std::string target_name;
std::string whole_bytes;  // the name at hand with its escapes above 127 as bytes
std::string whole_why;    // why the name at hand keeps its name whole; "": it does not

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

}  // namespace

int escape_at(const char *p)
{
	if (*p != ':')
		return -1;
	int high = hex_digit(p[1]);
	int low = high < 0 ? -1 : hex_digit(p[2]);
	return low < 0 ? -1 : high * 16 + low;
}

// Escapes of '.' and '/', and those whose table entry is 0 (no mapping) or '/', are kept, so a
// decoded name is never cut, never leaves its folder, and loses no information.
const char *why_kept(int value)
{
	if (by_charset)
		return charset_why[value].empty() ? nullptr : charset_why[value].c_str();
	if (value == 0x2E)
		return "is '.'";
	if (value == 0x2F)
		return "is '/'";
	if (mactable[value] == 0)
		return "has no byte in the table";
	if (mactable[value] == '/')
		return "would give '/'";
	return nullptr;
}

namespace
{

// Whether `rep`, appended to `out`, could complete an escape after a ':' and at most one hex
// digit that `out` ends with. A transliteration holds no ':', so nothing else can make escape
// text that a rerun would decode again. A one-byte one could pair with whatever follows it.
bool completes_escape(const std::string &out, const std::string &rep)
{
	std::size_t n = out.size();
	if (n >= 2 && out[n - 2] == ':' && hex_digit(out[n - 1]) >= 0)
		return hex_digit(rep[0]) >= 0;
	if (n >= 1 && out[n - 1] == ':')
		return hex_digit(rep[0]) >= 0 && (rep.size() == 1 || hex_digit(rep[1]) >= 0);
	return false;
}

// An escape is ':' and exactly two hex digits; any other ':' is an ordinary byte. With
// `transliterate`, an escape the table keeps takes its transliteration, where that can't make
// escape text. `colon` is the first ':' of `name`.
bool decode(const char *name, const char *colon, std::string &out, bool transliterate,
            bool &transliterated)
{
	bool changed = false;
	out.assign(name, colon);
	for (const char *p = colon; *p != '\0';) {
		if (*p != ':') {
			const char *run = p;
			while (*p != '\0' && *p != ':')
				p++;
			out.append(run, p);
			continue;
		}
		int value = escape_at(p);
		if (value < 0) {
			out += *p++;
			continue;
		}
		if (by_charset) {
			const std::string &code = charset_code[value];
			if (!code.empty() && !completes_escape(out, code)) {
				out += code;
				changed = true;
			} else {
				out.append(p, 3);
			}
		} else if (why_kept(value) != nullptr) {
			const std::string &rep = translit[value];
			if (transliterate && !rep.empty() && !completes_escape(out, rep)) {
				out += rep;
				transliterated = changed = true;
			} else {
				out.append(p, 3);
			}
		} else {
			out += static_cast<char>(mactable[value]);
			changed = true;
		}
		p += 3;
	}
	return changed;
}

// What a reason for refusing a transliteration file's line looks like.
std::string bad_line(unsigned number, const std::string &why)
{
	return "line " + std::to_string(number) + ": " + why;
}

// Why line `number`, `text`, can't give a transliteration, or "" when it sets one.
std::string parse_translit_line(unsigned number, std::string_view text)
{
	int high = text.size() >= 4 ? hex_digit(text[0]) : -1;
	int low = high < 0 ? -1 : hex_digit(text[1]);
	if (low < 0 || text[2] != ' ')
		return bad_line(number, "not a code in two hex digits, a blank and a replacement");
	std::string code(text.substr(0, 2));
	auto value = static_cast<unsigned>(high * 16 + low);
	if (value == 0x2E || value == 0x2F)
		return bad_line(number, "code " + code + " always stays an escape");
	if (why_kept(static_cast<int>(value)) == nullptr)
		return bad_line(number, "code " + code + " is converted by the table");
	if (!translit[value].empty())
		return bad_line(number, "code " + code + " listed twice");
	std::string_view rep = text.substr(3);
	if (rep.size() > 4)
		return bad_line(number, "replacement longer than 4 bytes");
	for (char c : rep) {
		if (c < 0x20 || c > 0x7E)
			return bad_line(number,
			                "replacement holds a byte that is not printable ASCII");
		if (std::strchr("/\\:*?\"<>|", c) != nullptr)
			return bad_line(number, std::string("replacement holds '") + c +
			                                "', which names can't hold");
	}
	if (rep.front() == ' ' || rep.back() == ' ')
		return bad_line(number, "replacement starts or ends with a blank");
	translit[value] = rep;
	return "";
}

// Why a Windows client can't use `name`, or nullptr.
const char *misfit(const std::string &name)
{
	if (name.size() > 255)
		return "would be longer than 255 bytes";
	if (name.back() == '.')
		return "would end in '.'";
	if (name.back() == ' ')
		return "would end in a blank";
	return nullptr;
}

// `in` converted whole by `cd`, strictly, from its initial state, with what ends a shifted
// state, which takes the last `unshift` bytes (if given); false when it can't be (EILSEQ: no such
// character; EINVAL: the input is incomplete), with the offset in `in` where it stopped in
// `failed` (if given). A conversion that iconv calls irreversible is none.
bool convert(iconv_t cd, std::string_view in, std::string &out, std::size_t *unshift = nullptr,
             std::size_t *failed = nullptr)
{
	(void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
	out.resize(16 + 8 * in.size());
	char *from = const_cast<char *>(in.data());
	std::size_t from_left = in.size();
	char *to = out.data();
	std::size_t to_left = out.size();
	if (std::size_t n = iconv(cd, &from, &from_left, &to, &to_left); n != 0) {
		if (n != static_cast<std::size_t>(-1))
			errno = EILSEQ;
		if (failed != nullptr)
			*failed = in.size() - from_left;
		return false;
	}
	std::size_t before_unshift = to_left;
	if (iconv(cd, nullptr, nullptr, &to, &to_left) == static_cast<std::size_t>(-1))
		return false;
	if (unshift != nullptr)
		*unshift = before_unshift - to_left;
	out.resize(out.size() - to_left);
	return true;
}

// Whether `cd` carries a state from one character to the next, as shift encodings do, judged by
// what it does with character `c` and then `probe` (ASCII): `c` leaves a state that takes
// bytes to end, or is taken without giving anything, or changes what `probe` gives after it.
// Such a conversion gives a name other bytes than its escapes converted one at a time.
bool keeps_state(iconv_t cd, std::string_view c, std::string_view probe)
{
	std::string alone, after, both;
	std::size_t unshift = 0;
	if (!convert(cd, c, alone, &unshift) || !convert(cd, probe, after))
		return false;
	if (unshift != 0 || alone.empty())
		return true;
	std::string pair(c);
	pair += probe;
	return !convert(cd, pair, both) || both != alone + after;
}

// Opens a conversion; a fault naming the unknown charset when it can't. iconv takes "" for the
// locale's charset, which would make a run depend on the shell it was started from.
fault open_iconv(const char *to, const char *from, const char *named, iconv_t &cd)
{
	if (*named == '\0')
		return {0, "a charset needs a name"};
	cd = iconv_open(to, from);
	if (reinterpret_cast<std::intptr_t>(cd) == -1)
		return {errno == EINVAL ? 0 : errno,
		        errno == EINVAL ? std::string("unknown charset ") + named : ""};
	return {};
}

// Whether a sequence of two or three ASCII bytes that starts with `lead`, which is no character
// alone, converts to nothing: an escape sequence that changes a shift state, as ISO-2022's do.
bool starts_shift(iconv_t cd, char lead)
{
	std::string seq;
	std::string out;
	for (int second = 1; second < 0x80; second++) {
		seq.assign({lead, static_cast<char>(second)});
		if (convert(cd, seq, out)) {
			if (out.empty())
				return true;
			continue;
		}
		for (int third = 1; third < 0x80 && errno == EINVAL; third++) {
			seq.resize(2);
			seq += static_cast<char>(third);
			if (convert(cd, seq, out) && out.empty())
				return true;
			errno = EINVAL;
		}
	}
	return false;
}

// Why `from` (to wide characters by `cd`) is refused, or "" when ASCII stays ASCII in it, each of
// its bytes from 0x01 to 0x7F alone, and no character leaves a state that changes what follows;
// fills `wide` with each byte's character, empty where it is none alone, and sets `multibyte`
// when some byte starts a longer character. A charset whose characters have several bytes is
// judged by its single bytes and the escape sequences of ASCII that would shift it.
std::string check_source(iconv_t cd, const char *from, std::string (&wide)[256], bool &multibyte)
{
	std::string out;
	multibyte = false;
	bool shift_sought = false;
	for (int value = 1; value < 256; value++) {
		char byte = static_cast<char>(value);
		wide[value].clear();
		if (convert(cd, std::string_view(&byte, 1), out)) {
			wide[value] = out;
		} else if (errno != EILSEQ) {
			multibyte = true;
			if (value < 0x80 && !shift_sought && starts_shift(cd, byte))
				return std::string(from) + " keeps a shift state";
			shift_sought = shift_sought || value < 0x80;
		}
		if (keeps_state(cd, std::string_view(&byte, 1), "A"))
			return std::string(from) + " keeps a shift state";
		multibyte = multibyte ||
		            (!wide[value].empty() && wide[value].size() != sizeof(wchar_t));
	}
	for (int value = 1; value < 0x80; value++) {
		wchar_t c = 0;
		if (wide[value].size() == sizeof c)
			std::memcpy(&c, wide[value].data(), sizeof c);
		if (c == static_cast<wchar_t>(value))
			continue;
		// Shift_JIS as glibc reads it gives the yen sign for '\' and the overline for '~'.
		std::memcpy(&c, wide[0x5C].data(), std::min(sizeof c, wide[0x5C].size()));
		bool yen = multibyte && wide[0x5C].size() == sizeof c && c == 0xA5;
		return std::string(from) + " does not keep ASCII as it is" +
		       (yen ? ": try CP932" : "");
	}
	return {};
}

// Characters of the scripts whose charsets have characters of several bytes, and those a
// target may hold back to see what follows (Ê, which BIG5-HKSCS may combine with a mark).
constexpr std::wstring_view probes = L"\u00e9\u00ca\u0416\u3042\u30bd\u4e00\uac00\uff76\u20ac";

// Where byte `decoded` of whole_bytes stands in `name`: an escape above 127 gave one byte.
std::size_t disk_offset(const char *name, std::size_t decoded)
{
	std::size_t at = 0;
	for (std::size_t n = 0; n < decoded && name[at] != '\0'; n++)
		at += escape_at(name + at) >= 0x80 ? 3 : 1;
	return at;
}

// Why `out`, converted whole, can't be a name that the next run leaves as it is; nullptr when
// it can.
const char *whole_misfit(const std::string &out)
{
	if (out.empty())
		return "would be empty";
	if (out == "." || out == "..")
		return out == "." ? "would be '.'" : "would be '..'";
	if (out.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
		return "would hold '/' or NUL";
	for (std::size_t at = out.find(':'); at != std::string::npos; at = out.find(':', at + 1))
		if (escape_at(out.c_str() + at) >= 0x80)
			return "would hold an escape that the next run decodes";
	if (out.size() > 255)
		return "would be longer than 255 bytes";
	return nullptr;
}

// Decodes `name` whole: each escape above 127 becomes its byte, every other byte stays, and the
// bytes are converted strictly, never in part. False, with whole_why saying why when it is not
// for want of such an escape, when the name stays.
bool decode_whole(const char *name, std::string &out)
{
	whole_why.clear();
	whole_bytes.clear();
	bool escaped = false;
	bool raw = false;
	for (const char *p = name; *p != '\0';) {
		int value = escape_at(p);
		if (value >= 0x80) {
			whole_bytes += static_cast<char>(value);
			escaped = true;
			p += 3;
			continue;
		}
		raw = raw || static_cast<unsigned char>(*p) >= 0x80;
		whole_bytes += *p++;
	}
	if (!escaped)
		return false;
	if (raw) {
		whole_why = "holds a byte above 127 that is no escape";
		return false;
	}
	std::size_t failed = 0;
	if (!convert(whole_cd, whole_bytes, out, nullptr, &failed)) {
		std::string wide;
		if (convert(source_cd, whole_bytes, wide, nullptr, &failed))
			whole_why = "has a character not in " + target_name;
		else
			whole_why = "is not " + source_name + " text at byte " +
			            std::to_string(disk_offset(name, failed) + 1);
		return false;
	}
	if (const char *why = whole_misfit(out)) {
		whole_why = why;
		return false;
	}
	return true;
}

}  // namespace

// A transliterated name that a Windows client can't use is decoded as without the
// transliterations.
bool decode_name(const char *name, std::string &out, bool transliterate)
{
	if (by_charset && whole_names)
		return decode_whole(name, out);
	const char *colon = std::strchr(name, ':');
	if (colon == nullptr)
		return false;
	bool transliterated = false;
	bool changed = decode(name, colon, out, transliterate, transliterated);
	if (by_charset && out.size() > 255)
		return false;
	if (transliterated && misfit(out) != nullptr)
		changed = decode(name, colon, out, false, transliterated);
	return changed;
}

const char *translit_misfit(const char *name)
{
	if (by_charset && whole_names) {
		std::string out;
		(void)decode_whole(name, out);
		return whole_why.empty() ? nullptr : whole_why.c_str();
	}
	const char *colon = std::strchr(name, ':');
	std::string out;
	bool transliterated = false;
	if (colon != nullptr)
		(void)decode(name, colon, out, !by_charset, transliterated);
	if (by_charset)
		return out.size() > 255 ? "would be longer than 255 bytes" : nullptr;
	return transliterated ? misfit(out) : nullptr;
}

// Both sides go through wide characters, as glibc's conversions do, so that a source is judged
// by its own bytes and a target by its own. Each escape is converted alone, so neither side may
// keep a state from one character to the next: the result is then what iconv gives for the
// whole name. A result holding ':' could make an escape, and one holding '/' or NUL could cut a
// name or leave its folder: such codes stay escapes.
fault load_charsets(const char *from, const char *to)
{
	by_charset = false;
	// A suffix makes iconv transliterate as the locale says, or drop characters unseen.
	if (std::strchr(from, '/') != nullptr || std::strchr(to, '/') != nullptr)
		return {0, "charset suffixes such as //TRANSLIT are not taken"};
	iconv_t source = nullptr;
	iconv_t target = nullptr;
	if (fault f = open_iconv("WCHAR_T", from, from, source))
		return f;
	if (fault f = open_iconv(to, "WCHAR_T", to, target)) {
		(void)iconv_close(source);
		return f;
	}
	std::string wide[256];
	bool multibyte = false;
	std::string why = check_source(source, from, wide, multibyte);
	std::string out;
	for (int value = 1; value < 0x80 && why.empty(); value++) {
		if (!convert(target, wide[value], out) ||
		    out != std::string(1, static_cast<char>(value)))
			why = std::string(to) + " does not keep ASCII as it is";
	}
	for (int value = 1; value < 256 && why.empty(); value++) {
		if (!wide[value].empty() && keeps_state(target, wide[value], wide[int{'A'}]))
			why = std::string(to) + " keeps a shift state";
	}
	// A name of several scripts probes a target that a source of one byte a character can't.
	for (wchar_t c : multibyte ? probes : std::wstring_view()) {
		std::string_view probe(reinterpret_cast<const char *>(&c), sizeof c);
		if (why.empty() && keeps_state(target, probe, wide[int{'A'}]))
			why = std::string(to) + " keeps a shift state";
	}
	for (int value = 0; value < 256 && why.empty(); value++) {
		charset_code[value].clear();
		charset_why[value].clear();
		if (value == 0x2E)
			charset_why[value] = "is '.'";
		else if (value == 0x2F)
			charset_why[value] = "is '/'";
		else if (value < 0x80)
			charset_why[value] = "is ASCII";
		else if (wide[value].empty())
			charset_why[value] = std::string("has no character in ") + from;
		else if (!convert(target, wide[value], out))
			charset_why[value] = std::string("has no character in ") + to;
		else if (out.find_first_of(std::string_view(":/\0", 3)) != std::string::npos)
			charset_why[value] = "would give ':', '/' or NUL";
		else
			charset_code[value] = out;
	}
	(void)iconv_close(target);
	if (whole_names) {
		(void)iconv_close(whole_cd);
		(void)iconv_close(source_cd);
		whole_names = false;
	}
	if (!why.empty() || !multibyte) {
		(void)iconv_close(source);
		if (!why.empty())
			return {0, why};
		by_charset = true;
		return {};
	}
	if (fault f = open_iconv(to, from, from, whole_cd)) {
		(void)iconv_close(source);
		return f;
	}
	source_cd = source;
	source_name = from;
	target_name = to;
	for (int value = 0x80; value < 256; value++)
		charset_why[value].clear();
	whole_names = true;
	by_charset = true;
	return {};
}

// Whatever the file holds beyond 256 bytes, or fails to deliver, leaves the table as far as it
// was read.
void load_table(int fd)
{
	by_charset = false;
	std::memset(mactable, 0, sizeof mactable);
	// One byte more than the table, to tell a file that holds more.
	std::string bytes;
	(void)read_whole(fd, bytes, sizeof mactable + 1);
	table_bytes = bytes.size();
	std::copy_n(bytes.begin(), std::min(bytes.size(), sizeof mactable), mactable);
}

fault load_translit(int fd)
{
	for (std::string &rep : translit)
		rep.clear();
	// 256 valid lines take at most 2,048 bytes, so a longer file has a bad line, which shows
	// within its first 9 bytes: reading more could only feed a runaway file into memory.
	std::string text;
	if (fault f = read_whole(fd, text, 4096))
		return f;

	unsigned number = 0;
	for (std::size_t at = 0; at < text.size();) {
		std::size_t end = text.find('\n', at);
		if (end == std::string::npos)
			end = text.size();
		std::string why =
		        parse_translit_line(++number, std::string_view(text).substr(at, end - at));
		if (!why.empty()) {
			for (std::string &rep : translit)
				rep.clear();
			return {0, why};
		}
		at = end + 1;
	}
	return {};
}
