// Conversion of one entry's name: colon escapes decoded through the table.
#pragma once

#include <cstdint>
#include <string>

extern unsigned char mactable[256];  // byte that replaces an escape of each value; 0: none
extern std::string translit[256];    // what replaces an escape the table keeps; empty: none
extern bool g_transliterate;         // escapes the table keeps take their `translit` entry
extern std::uint64_t
        g_conversion_counter;  // entries whose decoded name differed, failed renames included

// Decodes the escapes of `name` into `out`, with the transliterations if `g_transliterate`;
// false (and `out` unspecified) when nothing changes.
bool decode_name(const char *name, std::string &out);

// Fills the table from the first 256 bytes of file `path`, entries it lacks 0; 0, or the errno
// of a failed open.
int load_table(const char *path);

// Fills `translit` from file `path`, one "XX replacement" line per code that the table loaded
// keeps; "" or why the file can't be used ("2 No such file or directory", "line 3: ...").
std::string load_translit(const char *path);

// Renames entry `from` of the folder open as `dirfd` to `to` in the same folder, never replacing
// an existing `to`; 0, or -1 with errno set.
int rename_noreplace(int dirfd, const char *from, const char *to);

// Renames entry `name` of the folder open as `dirfd`, whose path is `dir`, to its decoded name,
// logging the pair before the rename and the error after a failed one; never replaces an entry.
void set_new_name(int dirfd, const std::string &dir, const char *name);
