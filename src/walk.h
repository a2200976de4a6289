// The depth-first walk over the volume.
#pragma once

#include <cstdint>

extern std::uint64_t g_folder_counter;  // folders walked, the mount point included
extern std::uint64_t g_file_counter;    // entries checked other than "." and "..", folders included
extern std::uint64_t g_last_folder;  // g_folder_counter when it last triggered a statistics write
extern std::uint64_t g_last_file;    // g_file_counter when it last triggered a statistics write

// Walks the folder `path` and everything below it that lies inside it, converting every
// entry's name after its contents; never fails to its caller.
void scan_path(const char *path);
