/*
 * Mount interfaces of Mac OS X for Linux: struct statfs with the target's
 * fields and flag values, statfs(), getmntinfo() and unmount().
 *
 * Linux has a struct statfs of its own, so the target's record is declared
 * as struct compat_statfs and the names statfs/getmntinfo are mapped onto it.
 * Linux's <sys/statfs.h> is pulled in first so that a later include of it
 * cannot meet the mapped name.
 */
#ifndef ARDOVA_COMPAT_SYS_MOUNT_H
#define ARDOVA_COMPAT_SYS_MOUNT_H

#include <stdint.h>
#include <sys/types.h>
#include <sys/statfs.h>

#define MFSTYPENAMELEN 16
#define COMPAT_MAXPATHLEN 1024

/* Mount flags, values of the target platform. */
#define MNT_RDONLY              0x00000001
#define MNT_SYNCHRONOUS         0x00000002
#define MNT_NOEXEC              0x00000004
#define MNT_NOSUID              0x00000008
#define MNT_NODEV               0x00000010
#define MNT_UNION               0x00000020
#define MNT_ASYNC               0x00000040
#define MNT_EXPORTED            0x00000100
#define MNT_QUOTA               0x00002000
#define MNT_ROOTFS              0x00004000
#define MNT_DOVOLFS             0x00008000
#define MNT_DONTBROWSE          0x00100000
#define MNT_UNKNOWNPERMISSIONS  0x00200000
#define MNT_AUTOMOUNTED         0x00400000
#define MNT_JOURNALED           0x00800000
#define MNT_DEFWRITE            0x02000000

/* unmount() flag and getmntinfo() modes. */
#define MNT_FORCE               0x00080000
#define MNT_WAIT                1
#define MNT_NOWAIT              2

struct compat_statfs {
	uint32_t f_bsize;
	int32_t  f_iosize;
	uint64_t f_blocks;
	uint64_t f_bfree;
	uint64_t f_bavail;
	uint64_t f_files;
	uint64_t f_ffree;
	struct { int32_t val[2]; } f_fsid;
	uid_t    f_owner;
	uint32_t f_type;
	uint32_t f_flags;
	uint32_t f_fssubtype;
	char     f_fstypename[MFSTYPENAMELEN];
	char     f_mntonname[COMPAT_MAXPATHLEN];
	char     f_mntfromname[COMPAT_MAXPATHLEN];
	uint32_t f_reserved[8];
};

#ifdef __cplusplus
extern "C" {
#endif

int compat_statfs(const char *path, struct compat_statfs *buf);
int compat_getmntinfo(struct compat_statfs **mntbufp, int mode);
int unmount(const char *dir, int flags);

#ifdef __cplusplus
}
#endif

#define statfs compat_statfs
#define getmntinfo compat_getmntinfo

#endif
