// The statistics file: a snapshot of the walk's progress for readers outside the program.
#pragma once

// Rewrites the statistics file from the current run counters, except on a dry run; failures
// pass silently.
void store_stats();
