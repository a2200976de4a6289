// The depth-first walk over the volume: each entry's name decided after its contents, the
// decision handed to the act the program chose.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

#include "decide.h"
#include "place.h"

// What a walk counted.
struct walk_counts {
	std::uint64_t folders = 0;      // folders walked, the mount point included
	std::uint64_t files = 0;        // entries checked other than "." and "..", folders included
	std::uint64_t conversions = 0;  // entries whose decided name differs from theirs, whatever
	                                // became of their rename
	std::uint64_t unwalked = 0;     // folders not walked in full for want of descriptors
};

// What is done with each entry's decision: a run applies it, a dry run foresees it. Each call
// gets `context`, which the act's owner keeps for the walk's length.
struct act {
	// Entry `name` (inode `ino`) of the folder open as `dirfd`, the last on the way of `at`,
	// and what was decided for it.
	void (*entry)(void *context, int dirfd, const place &at, const char *name, ino_t ino,
	              const decision &decided);
	// The walk enters `path`, a folder on another mount than its parent's; nullptr: nothing.
	void (*mount)(void *context, const std::string &path);
	// The counters call for a statistics write; nullptr: none is kept.
	void (*stats)(void *context, std::uint64_t files, std::uint64_t folders);
	void *context;  // what the act keeps, handed to each call
};

// How a walk goes.
struct walk_settings {
	const char *mount_point;  // the folder walked, with everything below it that lies inside it
	const decoder *decoding;  // what names are decided with
	unsigned readahead;       // threads that may list folders ahead of the walk; 0: none
	bool readahead_at_once;   // they start at the first folder, slow listings or not
	const volatile sig_atomic_t *stop;  // the walk ends between two entries once this is not
	                                    // 0; nullptr: it never ends early
};

// Walks as `how` says, deciding every entry's name after its contents and handing each
// decision to `act`; never fails to its caller, and returns what it counted. Asked to stop, it
// hands no entry on after the one in hand and leaves every folder as it is. Shows its progress on
// standard error where progress_start does, and takes it off again at the end.
walk_counts scan_path(const walk_settings &how, const act &act);
