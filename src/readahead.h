// Threads that list folders ahead of the walk, in the walk's order, so that the kernel's caches
// hold each folder's inode and listing when the walk opens it. They only read: they never
// decide, rename or record, and share with the walk nothing but the state behind these calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

extern unsigned g_readahead_threads;  // threads that list folders ahead of the walk; 0: none
extern bool g_readahead_at_once;      // run them from the first folder on, slow listings or not

// Most threads that --read-ahead may ask for.
inline constexpr unsigned readahead_max_threads = 64;

// The descriptors that a walk with `budget` of them leaves to the read-ahead: the same whatever
// --read-ahead says, so that no setting changes what the walk decides.
std::size_t readahead_share(std::size_t budget);

// Prepares a read-ahead below the mount point open as `mount_fd` that holds at most `share`
// descriptors at once, with fewer threads than --read-ahead asks for when they would need more.
void readahead_prepare(int mount_fd, std::size_t share);

// Tells that the walk entered the folder at `where` (its index in its folder's listing at each
// level below the mount point) and listed its `entries` in `took`; starts the threads when
// listings are slow.
void readahead_walked(const std::vector<std::size_t> &where, std::size_t entries,
                      std::chrono::nanoseconds took);

// Stops the threads, waits for them and lets go of everything the read-ahead holds.
void readahead_stop();
