// The dry run: what a run would do, listed on standard output instead of done.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "place.h"

extern std::uint64_t g_collisions;       // foreseen renames whose new name would be taken
extern std::uint64_t g_keeping_escapes;  // entries whose name would still carry an escape

// Starts the listing of a run whose names are decided with the transliterations if
// `transliterate` and whose new names are in charset `target`: lists the table's entries that
// give ':' or a hex digit, with which a converted name can hold an escape that the next run
// decodes again. Names and paths go to standard output through append_shown, the new names as
// text in charset `target`.
void preview_start(bool transliterate, const char *target);

// Lists what the run would do with entry `name` of the folder open as `dirfd`, the last on the
// way of `at`, given its decided name `new_name` (nullptr when it keeps its name): the
// collision that its new name would meet, or else the rename and the escapes its name would
// keep.
void foresee(int dirfd, const place &at, const char *name, ino_t ino, const std::string *new_name);

// Notes that the walk enters, at `path`, a folder on another mount than its parent's; the dry
// run lists it, as the run converts what lies there too.
void note_mount(const std::string &path);
