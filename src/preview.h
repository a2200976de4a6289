// The dry run: what a run would do, listed on standard output instead of done.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "decide.h"
#include "fsutil.h"
#include "place.h"

// What the run would have done so far to the names of one folder, over what the disk holds.
struct folder_view {
	std::size_t depth;                     // the folder's level on the walk's way
	folder_id id;                          // the folder
	std::unordered_set<std::string> made;  // names the run would have given
	std::unordered_set<std::string> gone;  // names the run would have taken away
};

// What a dry run has seen, kept by its owner for the walk's length.
struct preview_context {
	std::uint64_t collisions = 0;         // foreseen renames whose new name would be taken
	std::uint64_t keeping_escapes = 0;    // entries whose name would still carry an escape
	std::uint64_t multibyte_looking = 0;  // entries whose escapes read as text of a charset of
	                                      // characters of several bytes
	std::string multibyte_example;        // the path of the first of them
	const decoder *deciding = nullptr;    // what the names are decided with
	const char *new_charset = nullptr;    // the charset new names are in
	// Views of folders on the walk's way that have any, outermost first. The walk is
	// depth-first and walks each folder once, so a view whose folder has left the way is done
	// with.
	std::vector<folder_view> views;
	std::string line;  // the listing line at hand; capacity kept between lines
};

// Starts in `c` the listing of a run whose names are decided by `d`: lists why the next run may
// decode again what this one gives, as `d` says. Names and paths go to standard output through
// append_shown, the new names as text in the charset of `d`'s names.
void preview_start(preview_context &c, const decoder &d);

// Lists what the run would do with entry `name` of the folder open as `dirfd`, the last on the
// way of `at`, given what was `decided` for it: the collision that its new name would meet, or
// else the rename and what its name would keep, and why; counts in the preview_context
// `context` the name if it looks like text of a charset of several bytes a character.
void foresee(void *context, int dirfd, const place &at, const char *name, ino_t ino,
             const decision &decided);

// Notes that the walk enters, at `path`, a folder on another mount than its parent's; the dry
// run lists it, as the run converts what lies there too.
void note_mount(void *context, const std::string &path);
