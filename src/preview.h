// The dry run: what a run would do, listed on standard output instead of done.
#pragma once

#include <cstdint>
#include <string>

extern bool g_dry_run;                   // entries are foreseen and listed; nothing is written
extern std::uint64_t g_collisions;       // foreseen renames whose new name would be taken
extern std::uint64_t g_keeping_escapes;  // entries whose name would still carry an escape

// Lists the table's entries that give ':' or a hex digit, with which a converted name can hold
// an escape that the next run decodes again.
void list_rerun_breakers();

// Lists what the run would do with entry `name` of the folder open as `dirfd`, whose path is
// `dir`, given its decoded name `new_name` (nullptr when it keeps its name): the collision that
// its new name would meet, or else the rename and the escapes its name would keep.
void foresee(int dirfd, const std::string &dir, const char *name, const char *new_name);

// Notes that the walk enters, at `path`, a folder on another mount than its parent's; the dry
// run lists it, as the run converts what lies there too.
void note_mount(const std::string &path);
