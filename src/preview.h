// The dry run: what a run would do, listed on standard output instead of done.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "decide.h"
#include "place.h"

extern std::uint64_t g_collisions;         // foreseen renames whose new name would be taken
extern std::uint64_t g_keeping_escapes;    // entries whose name would still carry an escape
extern std::uint64_t g_multibyte_looking;  // entries whose escapes read as text of a charset of
                                           // characters of several bytes
extern std::string g_multibyte_example;    // the path of the first of them

// Starts the listing of a run whose names are decided by `d`: lists why the next run may decode
// again what this one gives, as `d` says. Names and paths go to standard output through
// append_shown, the new names as text in the charset of `d`'s names.
void preview_start(const decoder &d);

// Lists what the run would do with entry `name` of the folder open as `dirfd`, the last on the
// way of `at`, given what was `decided` for it: the collision that its new name would meet, or
// else the rename and what its name would keep, and why; counts the name if it looks like text
// of a charset of several bytes a character.
void foresee(int dirfd, const place &at, const char *name, ino_t ino, const decision &decided);

// Notes that the walk enters, at `path`, a folder on another mount than its parent's; the dry
// run lists it, as the run converts what lies there too.
void note_mount(const std::string &path);
