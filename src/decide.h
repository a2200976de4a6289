// The decision of a name: a decoder, built once from the table (with or without the
// transliterations) or from a pair of charsets, and what it makes of each name: the new name, or
// none, and what the name keeps and why. Pure: no I/O, and no state but the decoder's.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fsutil.h"

// How names are decoded: through the table, through a pair of charsets escape by escape, or,
// when the volume's charset has characters of several bytes, each name whole. What it holds is
// decide's alone.
struct decoder;

// Frees a decoder.
void free_decoder(decoder *d);

// An owner of a decoder, which frees it.
struct decoder_free {
	void operator()(decoder *d) const
	{
		free_decoder(d);
	}
};
using decoder_ptr = std::unique_ptr<decoder, decoder_free>;

// The table's decoder, from the table file's bytes `table`: an escape becomes the byte at its
// value, 0 (none) where the file is shorter; bytes past the 256th are not used. Escapes of '.'
// and '/', and those whose byte is 0 or '/', stay.
decoder_ptr table_decoder(std::string_view table);

// Gives `d`, a table's decoder, the transliterations in `text`, one "XX replacement" line per
// code that the table keeps. With `transliterate` such an escape takes its transliteration where
// that can't make escape text and leaves a name a Windows client can use; without, decisions
// only tell what the option would do. A fault when a line can't be used ("line 3: ..."), and
// then `d` has none.
fault add_transliterations(decoder &d, std::string_view text, bool transliterate);

// A decoder through iconv from charset `from`, the volume's, to `to`, which must keep ASCII as
// it is: escape by escape where each byte of `from` is one character or none, else name by name
// where ASCII stays ASCII in `from`, byte by byte. A fault ("unknown charset FOO", "FOO keeps a
// shift state", "FOO does not keep ASCII as it is", "charset suffixes such as //TRANSLIT are not
// taken") when a charset is unknown or refused, and then `out` is left as it was; `unknown`, if
// given, then points at the name iconv does not know, or is nullptr.
fault charset_decoder(const char *from, const char *to, decoder_ptr &out,
                      const char **unknown = nullptr);

// Whether iconv's `charset` is code page 850 under any of its names: each byte of CP850 converts
// to it as itself. False for a charset iconv does not know.
bool is_cp850(const char *charset);

// What a table file of other than 256 bytes means, for people: "10 bytes, not 256: the missing
// entries keep their escapes", `missing` then set, or "more than 256 bytes: the bytes after the
// 256th are not used"; "" for one of 256 bytes, and for charsets.
std::string size_note(const decoder &d, bool &missing);

// Why names that a run gives may be decoded again by the next, a line for each table entry that
// gives ':' or a hex digit: "table breaks reruns: :3a gives ':'".
std::vector<std::string> rerun_notes(const decoder &d);

// The charset of the new names: CP850 for the table's.
const char *names_charset(const decoder &d);

// A part of a name that stays as it is, and why.
struct kept_span {
	std::string_view what;  // the escape as the name holds it, or "name" for a name kept whole
	std::string_view why;   // for people: "has no byte in the table", "is not CP932 text at
	                        // byte 4"
};

// What decide_name makes of a name; reused from name to name, so that it keeps its capacity.
struct decision {
	bool renamed = false;         // the name becomes `name`
	std::string name;             // the new name, when renamed
	std::vector<kept_span> kept;  // what the name it ends with keeps, each escape once, or the
	                              // whole name; not the escapes of ASCII text, as in "10:30"
	std::string why_whole;        // the reason for a name kept whole, when made for the name
};

// Decides `name` with `d` into `out`, whose `kept` points into `out`, `name` and `d`; the same
// for the same name, in a run and in a dry run.
void decide_name(const decoder &d, std::string_view name, decision &out);

// Whether the escapes of `name` read as text of a charset of characters of several bytes, which
// `d` decodes into other characters one escape at a time: every escape above 127 in a UTF-8
// sequence of a letter or a character of three or four bytes, or a lead byte of CP932, GBK or
// BIG5 followed by a trail byte that stays ASCII and no Mac name puts after a letter, as in
// ":83\". False for a decoder that decodes whole names.
bool looks_multibyte(const decoder &d, std::string_view name);
