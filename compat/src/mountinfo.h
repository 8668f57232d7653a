// The Linux mount table, read from /proc/self/mountinfo, and its mapping onto
// the target's statfs record.  Internal to the platform layer.
#pragma once

#include <sys/mount.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#undef statfs
#undef getmntinfo

namespace compat {

struct MountEntry {
	uint64_t mount_id = 0;
	unsigned dev_major = 0;      // the device the file system lives on
	unsigned dev_minor = 0;
	std::string mount_point;
	std::string mount_options;   // per-mount: ro, nosuid, nodev, noexec, ...
	std::string fstype;          // as Linux names it, e.g. "fuse.fusefs_ardntfs"
	std::string source;
	std::string super_options;   // per-superblock: ro, sync, quota options, ...
};

// One line of mountinfo, octal escapes (\040 and so on) decoded.
std::optional<MountEntry> parse_mountinfo_line(std::string_view line);

// The whole table; empty with errno set when it cannot be read.
std::vector<MountEntry> read_mountinfo();

// The mount that holds a file: the entry with the file's mount id.  A
// user-mode emulator (qemu-user) may pass statx() on without the id (0,
// which no mount has); then it is the entry of the file's device whose
// mount point is the deepest that holds real_path (of several there, the
// last mounted), or none.
const MountEntry *find_mount(const std::vector<MountEntry> &entries, uint64_t mount_id, unsigned dev_major,
			     unsigned dev_minor, std::string_view real_path);

// The type name the target would show: "fuse.NAME" and "fuseblk.NAME" become
// NAME; the result is cut to MFSTYPENAMELEN - 1 characters.
std::string target_fstypename(std::string_view linux_fstype);

// Mount flags in the target's values: from the entry, and for ext3 and ext4
// from whether the kernel runs a journal for the file system.
uint32_t target_mount_flags(const MountEntry &entry);

// Whether the file system keeps a journal: ext3 and ext4 when the kernel
// runs one for their device (/proc/fs/jbd2/NAME-8), xfs, jfs and reiserfs
// always.
bool has_journal(const MountEntry &entry);

// Fills the name fields, f_fsid (the mount id, which tells mounts apart as
// the target's file-system id does), f_flags and f_fssubtype (0) of a
// record.  A name longer than the record's 1024-byte fields is cut; the
// result says whether both names fitted.
bool fill_names(const MountEntry &entry, struct compat_statfs &out);

}  // namespace compat
