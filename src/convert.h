// Conversion of one entry's name: colon escapes decoded through the table.
#pragma once

#include <cstdint>
#include <string>

extern unsigned char mactable[256];  // byte that replaces an escape of each value; 0: none
extern std::uint64_t
        g_conversion_counter;  // entries whose decoded name differed, failed renames included

// Decodes the escapes of `name` into `out`; false (and `out` unspecified) when nothing changes.
bool decode_name(const char *name, std::string &out);

// Renames entry `name` of the folder open as `dirfd`, whose path is `dir`, to its decoded name,
// logging the pair before the rename and the error after a failed one; never replaces an entry.
void set_new_name(int dirfd, const std::string &dir, const char *name);
