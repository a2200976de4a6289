// The decision of a name: its colon escapes decoded through the table, with the
// transliterations where asked, or through a pair of charsets, and why an escape stays. No I/O
// but loading its two files.
#pragma once

#include <cstddef>
#include <string>

#include "fsutil.h"

extern unsigned char mactable[256];    // byte that replaces an escape of each value; 0: none
extern std::size_t table_bytes;        // bytes the table file held, 257 for any more than 256
extern std::string translit[256];      // what replaces an escape the table keeps; empty: none
extern bool by_charset;                // escapes are decoded through `charset_code`, not the table
extern std::string charset_code[256];  // with by_charset: what an escape of each value becomes;
                                       // empty: it stays

// The value of the escape at `p`, ':' and exactly two hex digits; -1 when `p` starts none.
int escape_at(const char *p);

// Why an escape of `value` stays as it stands, as a text for people; nullptr when the table
// (or the charsets) decode it. With the transliterations such an escape may still take its
// transliteration.
const char *why_kept(int value);

// Decodes the escapes of `name` into `out`, with the transliterations if `transliterate`;
// false (and `out` unspecified) when nothing changes. With the charsets, a name that would
// grow past 255 bytes stays whole.
bool decode_name(const char *name, std::string &out, bool transliterate);

// Why `name`, decoded with the transliterations, would make a name a Windows client can't use,
// so that it is decoded as without them ("would end in '.'"); with the charsets, why it stays
// whole ("would be longer than 255 bytes"); nullptr when it would not.
const char *translit_misfit(const char *name);

// Sets `charset_code` to what each escape becomes, decoded from charset `from` (a volume's Mac
// charset: each byte one character or none, ASCII as it is) to `to` (which keeps ASCII as it is)
// through iconv, and sets by_charset; a fault ("unknown charset FOO", "FOO keeps a shift state",
// "charset suffixes such as //TRANSLIT are not taken") when a charset is unknown or refused, and
// then by_charset stays false.
fault load_charsets(const char *from, const char *to);

// Fills the table from the first 256 bytes that the file open as `fd` holds, entries it lacks 0,
// and sets table_bytes.
void load_table(int fd);

// Fills `translit` from the file open as `fd`, one "XX replacement" line per code that the table
// loaded keeps; a fault when the file can't be read or a line can't be used ("line 3: ..."), and
// then leaves `translit` empty.
fault load_translit(int fd);
