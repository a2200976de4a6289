// Threads that list folders ahead of the walk, in the walk's order, so that the kernel's caches
// hold each folder's inode and listing when the walk opens it. They only read: they never
// decide, rename or record, and share with the walk nothing but the state behind these calls.
#pragma once

#include <chrono>
#include <cstddef>

#include "place.h"

// Most threads that --read-ahead may ask for, and how many it asks for when not given.
inline constexpr unsigned readahead_max_threads = 64;
inline constexpr unsigned readahead_default_threads = 16;

// The descriptors that a walk with `budget` of them leaves to the read-ahead: the same whatever
// --read-ahead says, so that no setting changes what the walk decides.
std::size_t readahead_share(std::size_t budget);

// Prepares a read-ahead of up to `threads` threads below the mount point open as `mount_fd`
// that holds at most `share` descriptors at once, with fewer threads when they would need
// more; they start at the first folder if `at_once`, else when listings are slow.
void readahead_prepare(int mount_fd, std::size_t share, unsigned threads, bool at_once);

// Tells that the walk entered the folder last on the way of `at` and listed its `entries` in
// `took`; starts the threads when listings are slow.
void readahead_walked(const place &at, std::size_t entries, std::chrono::nanoseconds took);

// Stops the threads, waits for them and lets go of everything the read-ahead holds.
void readahead_stop();
