// The record folder: used only when no one but root, or the user who runs the program, can
// change it or any folder on its way, so that no other user can plant or swap a record file.
#pragma once

#include <string>

#include "fsutil.h"

// Opens folder `path` (relative to the working folder, or absolute) when it and every folder
// above it are owned by root or the effective user, it is writable by no one else, and a folder
// above it is writable by group or others only when sticky. Links on the way are followed only
// when owned by root or that user, at most 40. With `make`, missing folders are made (mode
// 0700) and then checked; without, nothing is made. The folder's descriptor, or -1 with `why`
// naming the folder at fault ("PATH: owned by user N"); `why` stays empty when the folder or
// one above it is missing and not to be made.
int open_trusted_folder(const std::string &path, bool make, fault &why);
