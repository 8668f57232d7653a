/*
 * mntflags: print the mount flags of the file system that holds a path,
 * one flag name per line, in the order of the table below.
 */
#include <sys/mount.h>

#include <stdint.h>

#include <cerrno>
#include <cstdio>

namespace {

struct MountFlag {
	uint32_t bit;
	const char *name;
};

// In the order of increasing bit value; any other bit prints nothing.
const MountFlag mount_flags[] = {
	{MNT_RDONLY, "MNT_RDONLY"},
	{MNT_SYNCHRONOUS, "MNT_SYNCHRONOUS"},
	{MNT_NOEXEC, "MNT_NOEXEC"},
	{MNT_NOSUID, "MNT_NOSUID"},
	{MNT_NODEV, "MNT_NODEV"},
	{MNT_UNION, "MNT_UNION"},
	{MNT_ASYNC, "MNT_ASYNC"},
	{MNT_EXPORTED, "MNT_EXPORTED"},
	{MNT_QUOTA, "MNT_QUOTA"},
	{MNT_ROOTFS, "MNT_ROOTFS"},
	{MNT_DOVOLFS, "MNT_DOVOLFS"},
	{MNT_DONTBROWSE, "MNT_DONTBROWSE"},
	{MNT_UNKNOWNPERMISSIONS, "MNT_UNKNOWNPERMISSIONS"},
	{MNT_AUTOMOUNTED, "MNT_AUTOMOUNTED"},
	{MNT_JOURNALED, "MNT_JOURNALED"},
	{MNT_DEFWRITE, "MNT_DEFWRITE"},
};

void print_flags(uint32_t flags);

}  // namespace

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "Invalid number of arguments. (got: %d, required: 1)\n", argc - 1);
		return 1;
	}

	struct statfs sfs;
	if (statfs(argv[1], &sfs) != 0) {
		const int err = errno;
		fprintf(stderr, "Could not statfs \"%s\". errno=%d\n", argv[1], err);
		return 1;
	}

	print_flags(sfs.f_flags);

	// A full disk or a closed pipe must not pass for an answer.
	if (fflush(stdout) != 0) {
		const int err = errno;
		fprintf(stderr, "Could not write to standard output. errno=%d\n", err);
		return 1;
	}
	return 0;
}

namespace {

// One name per line, for each bit of the table that is set.
void print_flags(uint32_t flags)
{
	for (size_t i = 0; i < sizeof mount_flags / sizeof mount_flags[0]; i++) {
		if (flags & mount_flags[i].bit)
			printf("%s\n", mount_flags[i].name);
	}
}

}  // namespace
