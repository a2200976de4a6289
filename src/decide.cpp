#include "decide.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace
{

// What a transliterated name that a Windows client can't use would be wrong in.
constexpr std::string_view misfit_texts[] = {"would be longer than 255 bytes", "would end in '.'",
                                             "would end in a blank"};

}  // namespace

// The table and the charsets of one byte a character give each escape value what it becomes, or
// why it stays; a charset of characters of several bytes converts names whole.
struct decoder {
	enum { table, by_escape, whole } kind = table;
	unsigned char bytes[256] = {};  // table: the byte that each escape becomes; 0: none
	std::size_t table_size = 256;   // table: the bytes its file held, 257 for any more
	std::string code[256];          // by_escape: what each escape becomes; "": it stays
	std::string_view why[256];      // table, by_escape: why each escape stays; "": decoded
	std::string why_text[256];      // by_escape: the reasons that name a charset
	std::string translit[256];      // table: what replaces an escape it keeps; "": none
	bool transliterate = false;     // table: escapes take their transliterations
	// Table: why an escape with a transliteration stays, with what --transliterate would give
	// (without the option), or (with it) that it would complete an escape or what would be
	// wrong with the transliterated name; all in `notes`, one after another.
	std::string_view with_option[256];
	std::string_view completing[256];
	std::string_view misfits[256][std::size(misfit_texts)];
	std::string notes;
	std::string to;               // by_escape, whole: the charset of the new names
	std::string from;             // whole: the volume's charset
	std::string not_in_target;    // whole: why a name with a character `to` lacks stays
	iconv_t whole_cd = nullptr;   // whole: `from` to `to`
	iconv_t source_cd = nullptr;  // whole: `from` to wide characters, to find bad text
	mutable std::string scratch;  // a name's bytes, or its decoding with the option
	mutable std::string wide;     // a name in wide characters

	~decoder()
	{
		if (whole_cd != nullptr)
			(void)iconv_close(whole_cd);
		if (source_cd != nullptr)
			(void)iconv_close(source_cd);
	}
};

void free_decoder(decoder *d)
{
	delete d;
}

namespace
{

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

// The value of the escape at offset `at` of `name`, ':' and exactly two hex digits; -1 when none
// starts there.
int escape_at(std::string_view name, std::size_t at)
{
	if (at + 2 >= name.size() || name[at] != ':')
		return -1;
	int high = hex_digit(name[at + 1]);
	int low = high < 0 ? -1 : hex_digit(name[at + 2]);
	return low < 0 ? -1 : high * 16 + low;
}

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

// What decode did.
struct decoding {
	bool changed = false;         // an escape was decoded or transliterated
	bool transliterated = false;  // an escape was transliterated
	bool colon = false;           // the result holds a ':'
};

// Decodes `name`, whose first ':' is at `colon`, escape by escape into `out`. An escape is ':'
// and exactly two hex digits; any other ':' is an ordinary byte. With `transliterate`, an escape
// the table keeps takes its transliteration, where that can't make escape text.
decoding decode(const decoder &d, std::string_view name, std::size_t colon, std::string &out,
                bool transliterate)
{
	decoding done;
	out.assign(name.substr(0, colon));
	for (std::size_t at = colon; at < name.size();) {
		if (name[at] != ':') {
			std::size_t next = std::min(name.find(':', at), name.size());
			out.append(name.substr(at, next - at));
			at = next;
			continue;
		}
		int value = escape_at(name, at);
		if (value < 0) {
			out += name[at++];
			done.colon = true;
			continue;
		}
		if (d.kind == decoder::by_escape) {
			const std::string &code = d.code[value];
			if (!code.empty() && !completes_escape(out, code)) {
				out += code;
				done.changed = true;
			} else {
				out.append(name.substr(at, 3));
				done.colon = true;
			}
		} else if (!d.why[value].empty()) {
			const std::string &rep = d.translit[value];
			if (transliterate && !rep.empty() && !completes_escape(out, rep)) {
				out += rep;
				done.transliterated = done.changed = true;
			} else {
				out.append(name.substr(at, 3));
				done.colon = true;
			}
		} else {
			out += static_cast<char>(d.bytes[value]);
			done.changed = true;
			done.colon = done.colon || d.bytes[value] == ':';
		}
		at += 3;
	}
	return done;
}

// Which of misfit_texts a Windows client can't use `name` for; -1 when it can.
int misfit(const std::string &name)
{
	if (name.size() > 255)
		return 0;
	if (name.back() == '.')
		return 1;
	return name.back() == ' ' ? 2 : -1;
}

std::size_t count(std::string_view text, std::string_view part)
{
	std::size_t n = 0;
	for (std::size_t at = text.find(part); at != std::string_view::npos;
	     at = text.find(part, at + 1))
		n++;
	return n;
}

// Whether `what` is listed in `kept` already.
bool listed(const std::vector<kept_span> &kept, std::string_view what)
{
	return std::any_of(kept.begin(), kept.end(),
	                   [what](const kept_span &s) { return s.what == what; });
}

// The table, or a charset of one byte a character: each escape decoded alone. A name that would
// grow past 255 bytes through the charsets stays whole. Lists the escapes that the name it ends
// with holds, each once, with why: the decoder keeps it, the next run would decode it (decoding
// made it), or decoding it would make a name too long or an escape; and what the
// transliterations do to it.
void decide_by_escape(const decoder &d, std::string_view name, decision &out)
{
	std::size_t colon = name.find(':');
	if (colon == std::string_view::npos)
		return;
	const bool table = d.kind == decoder::table;
	decoding done = decode(d, name, colon, out.name, table && d.transliterate);
	int misfit_of = done.transliterated ? misfit(out.name) : -1;
	// A transliterated name that a Windows client can't use is decoded as without them.
	if (misfit_of >= 0)
		done = decode(d, name, colon, out.name, false);
	const bool too_long = !table && out.name.size() > 255;
	out.renamed = done.changed && !too_long;
	if (out.renamed && !done.colon)
		return;
	std::string_view result = out.renamed ? std::string_view(out.name) : name;
	bool option_known = false;
	for (std::size_t at = result.find(':'); at != std::string_view::npos;
	     at = result.find(':', at + 1)) {
		int value = escape_at(result, at);
		if (value < 0)
			continue;
		std::string_view what = result.substr(at, 3);
		at += 2;
		std::string_view why = d.why[value];
		// Such an escape is text that no charset decodes, as in "Meeting 10:30".
		if (listed(out.kept, what) ||
		    (!why.empty() && value < 0x80 && value != '.' && value != '/'))
			continue;
		if (why.empty() && table)
			why = "would be decoded by the next run";
		else if (why.empty())
			why = too_long ? "stays: the name would be longer than 255 bytes"
			               : "would complete an escape";
		else if (table && !d.translit[value].empty() && d.transliterate)
			why = misfit_of >= 0 ? d.misfits[value][misfit_of] : d.completing[value];
		if (table && !d.translit[value].empty() && !d.transliterate) {
			// Whether the option would take the transliteration of this escape.
			if (!option_known) {
				option_known = true;
				decoding with = decode(d, name, colon, d.scratch, true);
				if (!with.changed)
					d.scratch = name;
				else if (with.transliterated && misfit(d.scratch) >= 0)
					(void)decode(d, name, colon, d.scratch, false);
			}
			if (count(d.scratch, what) < count(result, what))
				why = d.with_option[value];
		}
		out.kept.push_back({what, why});
	}
}

// Where byte `decoded` of a name's bytes, its escapes above 127 taken as bytes, stands in `name`.
std::size_t disk_offset(std::string_view name, std::size_t decoded)
{
	std::size_t at = 0;
	for (std::size_t n = 0; n < decoded && at < name.size(); n++)
		at += escape_at(name, at) >= 0x80 ? 3 : 1;
	return at;
}

// Why `out`, a name converted whole, can't be a name that the next run leaves as it is; nullptr
// when it can.
const char *whole_misfit(const std::string &out)
{
	if (out.empty())
		return "would be empty";
	if (out == "." || out == "..")
		return out == "." ? "would be '.'" : "would be '..'";
	if (out.find('/') != std::string::npos || out.find('\0') != std::string::npos)
		return "would hold '/' or NUL";
	for (std::size_t at = out.find(':'); at != std::string::npos; at = out.find(':', at + 1))
		if (escape_at(out, at) >= 0x80)
			return "would hold an escape that the next run decodes";
	if (out.size() > 255)
		return "would be longer than 255 bytes";
	return nullptr;
}

bool convert(iconv_t cd, std::string_view in, std::string &out, std::size_t *unshift = nullptr,
             std::size_t *failed = nullptr);

// A charset of characters of several bytes: each escape above 127 becomes its byte, every other
// byte stays, and the name is converted whole, strictly, or it keeps its name whole, with why.
// The server writes every byte above 127 as an escape, so a raw one is no text of the charset.
// Escapes of '.' and '/' that stay are listed as the other decoders list them.
void decide_whole(const decoder &d, std::string_view name, decision &out)
{
	if (name.find(':') == std::string_view::npos)
		return;
	std::string &bytes = d.scratch;
	bytes.clear();
	bool escaped = false;
	bool raw = false;
	for (std::size_t at = 0; at < name.size();) {
		std::size_t colon = std::min(name.find(':', at), name.size());
		raw = raw || std::any_of(name.begin() + at, name.begin() + colon, [](char c) {
			      return static_cast<unsigned char>(c) >= 0x80;
		      });
		bytes.append(name.substr(at, colon - at));
		int value = escape_at(name, colon);
		if (value >= 0x80)
			bytes += static_cast<char>(value);
		else if (colon < name.size())
			bytes += ':';
		escaped = escaped || value >= 0x80;
		at = colon + (value >= 0x80 ? 3 : 1);
	}
	std::string_view why;
	std::size_t failed = 0;
	if (!escaped) {
		// Nothing to decode: only its escapes of '.' and '/' are listed.
	} else if (raw) {
		why = "holds a byte above 127 that is no escape";
	} else if (!convert(d.whole_cd, bytes, out.name, nullptr, &failed)) {
		if (convert(d.source_cd, bytes, d.wide, nullptr, &failed)) {
			why = d.not_in_target;
		} else {
			out.why_whole.assign("is not ").append(d.from).append(" text at byte ");
			out.why_whole.append(std::to_string(disk_offset(name, failed) + 1));
			why = out.why_whole;
		}
	} else if (const char *misfit_why = whole_misfit(out.name)) {
		why = misfit_why;
	} else {
		out.renamed = true;
	}
	if (!why.empty()) {
		out.kept.push_back({"name", why});
		return;
	}
	std::string_view result = out.renamed ? std::string_view(out.name) : name;
	for (std::size_t at = result.find(':'); at != std::string_view::npos;
	     at = result.find(':', at + 1)) {
		int value = escape_at(result, at);
		std::string_view what = result.substr(at, 3);
		if ((value == '.' || value == '/') && !listed(out.kept, what))
			out.kept.push_back({what, value == '.' ? "is '.'" : "is '/'"});
	}
}

}  // namespace

void decide_name(const decoder &d, std::string_view name, decision &out)
{
	out.renamed = false;
	out.kept.clear();
	if (d.kind == decoder::whole)
		decide_whole(d, name, out);
	else
		decide_by_escape(d, name, out);
}

// A run of escapes that reads as one UTF-8 character rarely comes from a Mac name: its lead byte
// is mostly a symbol there, and its continuation bytes accented letters. Of the characters of two
// bytes only letters count (U+00C0 to U+04FF: Latin, Greek, Cyrillic), as the typographic
// apostrophe before an e acute of French names (:d5:8e) reads as an Armenian one. A raw byte
// after an escape is what CP932, GBK and BIG5 leave of a trail byte below 128, but a Mac name
// puts a letter, a digit, '.', a blank or '_' after its accented letters, seldom the rest of
// this ASCII punctuation.
bool looks_multibyte(const decoder &d, std::string_view name)
{
	if (d.kind == decoder::whole)
		return false;
	constexpr std::string_view odd_trail = "@[\\]^`{|}~";
	bool utf8 = false;     // some escapes form a UTF-8 character
	bool all_utf8 = true;  // and every escape above 127 belongs to one
	for (std::size_t at = name.find(':'); at != std::string_view::npos;
	     at = name.find(':', at)) {
		int lead = escape_at(name, at);
		if (lead < 0x80) {
			at += lead < 0 ? 1 : 3;
			continue;
		}
		if (lead > 0x80 && lead < 0xFF && at + 3 < name.size() &&
		    odd_trail.find(name[at + 3]) != std::string_view::npos)
			return true;
		int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
		auto c = static_cast<std::uint32_t>(lead & (0x7F >> length));
		int k = 1;
		for (; k < length; k++) {
			int next = escape_at(name, at + 3 * static_cast<std::size_t>(k));
			if (next < 0x80 || next >= 0xC0)
				break;
			c = c << 6 | static_cast<std::uint32_t>(next & 0x3F);
		}
		bool valid =
		        k == length && (length == 2   ? c >= 0xC0 && c <= 0x4FF
		                        : length == 3 ? c >= 0x800 && (c < 0xD800 || c > 0xDFFF)
		                                      : c >= 0x10000 && c <= 0x10FFFF);
		utf8 = utf8 || valid;
		all_utf8 = all_utf8 && valid;
		at += valid ? 3 * static_cast<std::size_t>(length) : 3;
	}
	return utf8 && all_utf8;
}

namespace
{

// What a reason for refusing a transliteration file's line looks like.
std::string bad_line(unsigned number, const std::string &why)
{
	return "line " + std::to_string(number) + ": " + why;
}

// Why line `number`, `text`, can't give `d` a transliteration, or "" when it sets one.
std::string parse_translit_line(decoder &d, unsigned number, std::string_view text)
{
	int high = text.size() >= 4 ? hex_digit(text[0]) : -1;
	int low = high < 0 ? -1 : hex_digit(text[1]);
	if (low < 0 || text[2] != ' ')
		return bad_line(number, "not a code in two hex digits, a blank and a replacement");
	std::string code(text.substr(0, 2));
	auto value = static_cast<unsigned>(high * 16 + low);
	if (value == 0x2E || value == 0x2F)
		return bad_line(number, "code " + code + " always stays an escape");
	if (d.why[value].empty())
		return bad_line(number, "code " + code + " is converted by the table");
	if (!d.translit[value].empty())
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
	d.translit[value] = rep;
	return "";
}

}  // namespace

// Escapes of '.' and '/', and those whose table entry is 0 (no mapping) or '/', are kept, so a
// decoded name is never cut, never leaves its folder, and loses no information.
decoder_ptr table_decoder(std::string_view table)
{
	decoder_ptr d(new decoder);
	d->table_size = std::min<std::size_t>(table.size(), sizeof d->bytes + 1);
	std::copy_n(table.begin(), std::min(table.size(), sizeof d->bytes), d->bytes);
	for (int value = 0; value < 256; value++) {
		unsigned char byte = d->bytes[value];
		d->why[value] = value == 0x2E   ? "is '.'"
		                : value == 0x2F ? "is '/'"
		                : byte == 0     ? "has no byte in the table"
		                : byte == '/'   ? "would give '/'"
		                                : "";
	}
	return d;
}

// The reasons with what the transliterations do are made once here, so that a decision only
// points to them.
fault add_transliterations(decoder &d, std::string_view text, bool transliterate)
{
	d.transliterate = transliterate;
	for (std::string &rep : d.translit)
		rep.clear();
	unsigned number = 0;
	for (std::size_t at = 0; at < text.size();) {
		std::size_t end = std::min(text.find('\n', at), text.size());
		std::string why = parse_translit_line(d, ++number, text.substr(at, end - at));
		if (!why.empty()) {
			for (std::string &rep : d.translit)
				rep.clear();
			return {0, why};
		}
		at = end + 1;
	}
	// Written one after another into one text, then pointed to once it has stopped growing.
	d.notes.clear();
	for (bool point : {false, true}) {
		std::size_t at = 0;
		auto note = [&](std::string_view &slot,
		                std::initializer_list<std::string_view> parts) {
			std::size_t length = 0;
			for (std::string_view part : parts) {
				length += part.size();
				if (!point)
					d.notes.append(part);
			}
			if (point)
				slot = std::string_view(d.notes).substr(at, length);
			at += length;
		};
		for (int value = 0; value < 256; value++) {
			std::string_view rep = d.translit[value];
			std::string_view why = d.why[value];
			if (rep.empty())
				continue;
			if (!transliterate) {
				note(d.with_option[value],
				     {why, "; --transliterate gives \"", rep, "\""});
				continue;
			}
			note(d.completing[value],
			     {why, "; \"", rep, "\" would complete an escape"});
			for (std::size_t k = 0; k < std::size(misfit_texts); k++)
				note(d.misfits[value][k],
				     {why, "; transliterated, the name ", misfit_texts[k]});
		}
	}
	return {};
}

std::string size_note(const decoder &d, bool &missing)
{
	missing = d.kind == decoder::table && d.table_size < sizeof d.bytes;
	if (missing)
		return std::to_string(d.table_size) +
		       " bytes, not 256: the missing entries keep their escapes";
	if (d.kind == decoder::table && d.table_size > sizeof d.bytes)
		return "more than 256 bytes: the bytes after the 256th are not used";
	return {};
}

std::vector<std::string> rerun_notes(const decoder &d)
{
	std::vector<std::string> notes;
	const char *hex = "0123456789abcdef";
	for (int value = 0; value < 256 && d.kind == decoder::table; value++) {
		auto byte = static_cast<char>(d.bytes[value]);
		if (!d.why[value].empty() || (byte != ':' && hex_digit(byte) < 0))
			continue;
		std::string &line = notes.emplace_back("table breaks reruns: :");
		line.append({hex[value >> 4], hex[value & 15], ' '});
		line.append("gives '").append(1, byte).append("'");
	}
	return notes;
}

const char *names_charset(const decoder &d)
{
	return d.kind == decoder::table ? "CP850" : d.to.c_str();
}

namespace
{

// `in` converted whole by `cd`, strictly, from its initial state, with what ends a shifted
// state, which takes the last `unshift` bytes (if given); false when it can't be (EILSEQ: no such
// character; EINVAL: the input is incomplete), with the offset in `in` where it stopped in
// `failed` (if given). A conversion that iconv calls irreversible is none.
bool convert(iconv_t cd, std::string_view in, std::string &out, std::size_t *unshift,
             std::size_t *failed)
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

// Opens a conversion; a fault naming the unknown charset, `named`, then also in `unknown`, when
// it can't. iconv takes "" for the locale's charset, which would make a run depend on the shell
// it was started from.
fault open_iconv(const char *to, const char *from, const char *named, iconv_t &cd,
                 const char *&unknown)
{
	if (*named == '\0')
		return {0, "a charset needs a name"};
	iconv_t opened = iconv_open(to, from);
	if (reinterpret_cast<std::intptr_t>(opened) == -1 && errno == EINVAL)
		unknown = named;
	if (reinterpret_cast<std::intptr_t>(opened) == -1)
		return {unknown != nullptr ? 0 : errno,
		        unknown != nullptr ? std::string("unknown charset ") + named : ""};
	cd = opened;
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

// Characters of the scripts whose charsets have characters of several bytes, and one that a
// target may hold back to see what follows (E with circumflex, which BIG5-HKSCS may combine with a
// mark).
constexpr std::wstring_view probes = L"\u00e9\u00ca\u0416\u3042\u30bd\u4e00\uac00\uff76\u20ac";

// Why `to` (from wide characters by `target`) is refused as the target of a source whose bytes
// give `wide`, or "": ASCII must stay as it is, and no character it takes, of the source's single
// bytes (and with a `multibyte` source, of the probes), may leave a state.
std::string check_target(iconv_t target, const char *to, const std::string (&wide)[256],
                         bool multibyte)
{
	std::string out;
	for (int value = 1; value < 0x80; value++) {
		if (!convert(target, wide[value], out) ||
		    out != std::string(1, static_cast<char>(value)))
			return std::string(to) + " does not keep ASCII as it is";
	}
	for (int value = 1; value < 256; value++) {
		if (!wide[value].empty() && keeps_state(target, wide[value], wide[int{'A'}]))
			return std::string(to) + " keeps a shift state";
	}
	for (wchar_t c : multibyte ? probes : std::wstring_view()) {
		std::string_view probe(reinterpret_cast<const char *>(&c), sizeof c);
		if (keeps_state(target, probe, wide[int{'A'}]))
			return std::string(to) + " keeps a shift state";
	}
	return {};
}

// What each escape becomes through `target`, or why it stays. A result holding ':' could make an
// escape, and one holding '/' or NUL could cut a name or leave its folder: such codes stay
// escapes.
void fill_codes(decoder &d, iconv_t target, const char *from, const std::string (&wide)[256])
{
	for (int value = 0; value < 256; value++) {
		if (value == 0x2E)
			d.why[value] = "is '.'";
		else if (value == 0x2F)
			d.why[value] = "is '/'";
		else if (value < 0x80)
			d.why[value] = "is ASCII";
		else if (wide[value].empty())
			d.why_text[value] = std::string("has no character in ") + from;
		else if (!convert(target, wide[value], d.code[value]))
			d.why_text[value] = "has no character in " + d.to;
		else if (d.code[value].find_first_of(std::string_view(":/\0", 3)) !=
		         std::string::npos)
			d.why[value] = "would give ':', '/' or NUL";
		if (!d.why_text[value].empty())
			d.why[value] = d.why_text[value];
		if (!d.why[value].empty())
			d.code[value].clear();
	}
}

}  // namespace

// Both sides go through wide characters, as glibc's conversions do, so that a source is judged
// by its own bytes and a target by its own. Escape by escape, neither side may keep a state from
// one character to the next, so that the result is what iconv gives for the whole name; a name
// decoded whole is converted from the initial state and ended, but a target that needs shifts
// would give names control characters, and a source that has them would need none of the
// escapes that the server writes.
fault charset_decoder(const char *from, const char *to, decoder_ptr &out, const char **unknown)
{
	const char *unknown_here = nullptr;
	if (unknown == nullptr)
		unknown = &unknown_here;
	*unknown = nullptr;
	// A suffix makes iconv transliterate as the locale says, or drop characters unseen.
	if (std::strchr(from, '/') != nullptr || std::strchr(to, '/') != nullptr)
		return {0, "charset suffixes such as //TRANSLIT are not taken"};
	decoder_ptr d(new decoder);
	d->to = to;
	if (fault f = open_iconv("WCHAR_T", from, from, d->source_cd, *unknown))
		return f;
	iconv_t target = nullptr;
	if (fault f = open_iconv(to, "WCHAR_T", to, target, *unknown))
		return f;
	std::string wide[256];
	bool multibyte = false;
	std::string why = check_source(d->source_cd, from, wide, multibyte);
	if (why.empty())
		why = check_target(target, to, wide, multibyte);
	if (why.empty() && !multibyte) {
		d->kind = decoder::by_escape;
		fill_codes(*d, target, from, wide);
	}
	(void)iconv_close(target);
	if (!why.empty())
		return {0, why};
	if (multibyte) {
		if (fault f = open_iconv(to, from, from, d->whole_cd, *unknown))
			return f;
		d->kind = decoder::whole;
		d->from = from;
		d->not_in_target = "has a character not in " + d->to;
	}
	out = std::move(d);
	return {};
}

bool is_cp850(const char *charset)
{
	// iconv takes "" for the locale's charset.
	if (*charset == '\0')
		return false;
	iconv_t cd = iconv_open(charset, "CP850");
	if (reinterpret_cast<std::intptr_t>(cd) == -1)
		return false;
	std::string all, out;
	for (int value = 1; value < 256; value++)
		all += static_cast<char>(value);
	bool same = convert(cd, all, out) && out == all;
	(void)iconv_close(cd);
	return same;
}
