// Conversion of one entry's name: colon escapes decoded through the table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

extern unsigned char mactable[256];  // byte that replaces an escape of each value; 0: none
extern std::string translit[256];    // what replaces an escape the table keeps; empty: none
extern bool g_transliterate;         // --transliterate: kept escapes take their `translit` entry
extern std::uint64_t
        g_conversion_counter;  // entries whose decoded name differed, failed renames included

extern std::uint64_t g_withheld;       // entries that kept their names for want of a record
extern std::string g_withheld_reason;  // the file of the first record not written, and why

// The value of the escape at `p`, ':' and exactly two hex digits; -1 when `p` starts none.
int escape_at(const char *p);

// Why an escape of `value` stays as it stands, as a text for people; nullptr when the table
// decodes it. With `g_transliterate` such an escape may still take its transliteration.
const char *why_kept(int value);

// Decodes the escapes of `name` into `out`, with the transliterations if `transliterate`;
// false (and `out` unspecified) when nothing changes.
bool decode_name(const char *name, std::string &out, bool transliterate);

// Why `name`, decoded with the transliterations, would make a name a Windows client can't use,
// so that it is decoded as without them ("would end in '.'"); nullptr when it would not.
const char *translit_misfit(const char *name);

// Fills the table from the first 256 bytes of file `path`, entries it lacks 0; 0, or the errno
// of a failed open.
int load_table(const char *path);

// Fills `translit` from file `path`, one "XX replacement" line per code that the table loaded
// keeps; "" or why the file can't be used ("2 No such file or directory", "line 3: ..."), and
// then leaves `translit` empty.
std::string load_translit(const char *path);

// Renames entry `from` of the folder open as `dirfd` to `to` in the same folder, never replacing
// an existing `to`; 0, or -1 with errno set.
int rename_noreplace(int dirfd, const char *from, const char *to);

// Renames entry `name` (inode `ino`) of the folder open as `dirfd`, whose path is `dir`, to its
// decoded name, as rename_entry does; a dry run foresees and lists the same instead.
void set_new_name(int dirfd, const std::string &dir, const char *name, ino_t ino);

// Renames entry `name` (inode `ino` when listed) of the folder open as `dirfd`, whose path is
// `dir`, to `new_name` only once its log line and journal record are written in full, then records
// the error of a failed rename; never replaces an entry. An entry whose records can't be written
// keeps its name and is counted in g_withheld.
void rename_entry(int dirfd, const std::string &dir, const char *name, ino_t ino,
                  const std::string &new_name);
