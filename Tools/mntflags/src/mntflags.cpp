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
	const char *format;  // "%s" takes the prefix, which is empty
};

// In the order of increasing bit value; any other bit prints nothing.
const MountFlag mount_flags[] = {
	{MNT_RDONLY, "%sMNT_RDONLY\n"},
	{MNT_SYNCHRONOUS, "%sMNT_SYNCHRONOUS\n"},
	{MNT_NOEXEC, "%sMNT_NOEXEC\n"},
	{MNT_NOSUID, "%sMNT_NOSUID\n"},
	{MNT_NODEV, "%sMNT_NODEV\n"},
	{MNT_UNION, "%sMNT_UNION\n"},
	{MNT_ASYNC, "%sMNT_ASYNC\n"},
	{MNT_EXPORTED, "%sMNT_EXPORTED\n"},
	{MNT_QUOTA, "%sMNT_QUOTA\n"},
	{MNT_ROOTFS, "%sMNT_ROOTFS\n"},
	{MNT_DOVOLFS, "%sMNT_DOVOLFS\n"},
	{MNT_DONTBROWSE, "%sMNT_DONTBROWSE\n"},
	{MNT_UNKNOWNPERMISSIONS, "%sMNT_UNKNOWNPERMISSIONS\n"},
	{MNT_AUTOMOUNTED, "%sMNT_AUTOMOUNTED\n"},
	{MNT_JOURNALED, "%sMNT_JOURNALED\n"},
	{MNT_DEFWRITE, "%sMNT_DEFWRITE\n"},
};

void print_flags(uint32_t flags)
{
	for (size_t i = 0; i < sizeof mount_flags / sizeof mount_flags[0]; i++) {
		if (flags & mount_flags[i].bit)
			printf(mount_flags[i].format, "");
	}
}

}  // namespace

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "Invalid number of arguments. (got: %d, required: 1)\n", argc - 1);
		return 1;
	}

	struct statfs sfs;
	if (statfs(argv[1], &sfs) != 0) {
		int err = errno;
		fprintf(stderr, "Could not statfs \"%s\". errno=%d\n", argv[1], err);
		return 1;
	}

	print_flags(sfs.f_flags);

	// A full disk or a closed pipe must not pass for an answer.
	if (fflush(stdout) != 0) {
		int err = errno;
		fprintf(stderr, "Could not write to standard output. errno=%d\n", err);
		return 1;
	}
	return 0;
}
