// The record folder: used only when no one but root, or the user who runs the program, can
// change it or any folder on its way, so that no other user can plant or swap a record file.
#pragma once

#include <string>

extern int g_record_fd;  // the checked record folder, open; record files are opened in it

// A folder as open_trusted_folder() leaves it.
struct trusted_folder {
	int fd = -1;         // the folder, open for reading, when it passed the check
	std::string reason;  // fd < 0: why, naming the folder ("PATH: owned by user N"); "" when
	                     // the folder or one above it is missing
};

// Opens folder `path` (relative to the working folder, or absolute) when it and every folder
// above it are owned by root or the effective user, it is writable by no one else, and a folder
// above it is writable by group or others only when sticky. Links on the way are followed only
// when owned by root or that user, at most 40. With `make`, missing folders are made (mode
// 0700) and then checked; without, nothing is made.
trusted_folder open_trusted_folder(const std::string &path, bool make);

// The last component of `path`: the name of a record file in its folder.
const char *file_name(const char *path);
