// The statistics file: a snapshot of the walk's progress for readers outside the program.
#pragma once

#include <cstdint>
#include <string>

// The statistics file is file `path` (its last part) of the checked folder open as `dirfd`;
// nothing is opened until the first write.
void stats_start(int dirfd, const std::string &path);

// Rewrites the statistics file with the counts of entries and folders checked; failures pass
// silently.
void store_stats(std::uint64_t files, std::uint64_t folders);
