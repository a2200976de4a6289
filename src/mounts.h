// The mount table as this process sees it, and the volume that holds a folder: what the record
// folder's check and the journal's note of the volume both read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A mount as /proc/self/mountinfo lists it.
struct mount_entry {
	std::uint64_t id;
	dev_t dev;
	std::string point;    // where it is mounted, its octal escapes decoded
	std::string type;     // "ext4", "fuse.sshfs"
	std::string source;   // "/dev/sdb1", as the table gives it, octal escapes and all
	std::string options;  // the file system's own options, "rw,user_id=1500,..."
};

// The file system that holds a folder; "" for what can't be told.
struct volume {
	std::string source;  // its mount's source
	std::string uuid;    // its name in /dev/disk/by-uuid
};

// Appends the mounts this process sees to `mounts`; "" or a reason why they can't be told. Read
// whole for each call, so that a mount made since the last one is in.
std::string read_mounts(std::vector<mount_entry> &mounts);

// The file system that holds folder `path`: the mount of its device whose mount point is the
// longest one above it, and the UUID whose block device is that device. Empty where none.
volume volume_at(const char *path);

// Whether `a` and `b` are one volume: by UUID when both have one, else by source.
bool same_volume(const volume &a, const volume &b);
