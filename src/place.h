// Where the walk is: the way down from the mount point to the folder it is in. The walk keeps
// it; the read-ahead, the journal and the dry run read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "fsutil.h"

// One folder on the way.
struct level {
	folder_id id;          // the folder, whatever path leads to it
	file_mark mark;        // and its second mark of identity
	std::string name;      // its name in the folder above; the mount point's: its path
	bool via_link;         // entered through a symbolic link of that name
	std::size_t index;     // its index in the listing of the folder above
	std::size_t path_len;  // length of its path in `place::path`
};

struct place {
	std::vector<level> way;  // the mount point first, the folder the walk is in last
	std::string path;        // that folder's path: the mount point's, then '/' and each name
};
