// statfs() and getmntinfo() with the target's record, built on Linux's
// statfs(2), statx(2) and /proc/self/mountinfo.
#include "mountinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using compat::MountEntry;

namespace {

uint32_t flags_from_linux_statfs(unsigned long f)
{
	uint32_t flags = 0;
	if (f & ST_RDONLY)
		flags |= MNT_RDONLY;
	if (f & ST_SYNCHRONOUS)
		flags |= MNT_SYNCHRONOUS;
	if (f & ST_NOEXEC)
		flags |= MNT_NOEXEC;
	if (f & ST_NOSUID)
		flags |= MNT_NOSUID;
	if (f & ST_NODEV)
		flags |= MNT_NODEV;
	return flags;
}

}  // namespace

extern "C" int compat_statfs(const char *path, struct compat_statfs *buf)
{
	struct ::statfs lsf;
	if (::statfs(path, &lsf) != 0)
		return -1;

	memset(buf, 0, sizeof *buf);
	buf->f_bsize = uint32_t(lsf.f_bsize);
	buf->f_iosize = int32_t(lsf.f_bsize);
	buf->f_blocks = lsf.f_blocks;
	buf->f_bfree = lsf.f_bfree;
	buf->f_bavail = lsf.f_bavail;
	buf->f_files = lsf.f_files;
	buf->f_ffree = lsf.f_ffree;
	memcpy(&buf->f_fsid, &lsf.f_fsid, sizeof buf->f_fsid);
	buf->f_type = uint32_t(lsf.f_type);
	buf->f_flags = flags_from_linux_statfs(lsf.f_flags);

	// The mount that holds the path, found by its id rather than by
	// comparing path prefixes, which bind mounts and links would fool.
	int saved_errno = errno;
	struct statx stx;
	if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &stx) == 0) {
		char real_path[PATH_MAX];
		if (realpath(path, real_path) == nullptr)
			real_path[0] = '\0';
		const std::vector<MountEntry> entries = compat::read_mountinfo();
		const uint64_t mount_id = (stx.stx_mask & STATX_MNT_ID) ? stx.stx_mnt_id : 0;
		if (const MountEntry *e = compat::find_mount(entries, mount_id, stx.stx_dev_major, stx.stx_dev_minor,
							      real_path))
			compat::fill_names(*e, *buf);
	}
	errno = saved_errno;
	return 0;
}

extern "C" int compat_getmntinfo(struct compat_statfs **mntbufp, int /* mode */)
{
	// Like the target, the records live in storage of the library that the
	// next call reuses.  Nothing is asked of the volumes themselves, so a
	// dead FUSE server cannot make the call hang.
	static std::vector<struct compat_statfs> records;

	errno = 0;
	std::vector<MountEntry> entries = compat::read_mountinfo();
	if (entries.empty()) {
		if (errno == 0)
			errno = EIO;
		return 0;
	}
	// A name too long for the record is cut rather than the mount left
	// out: a caller must see every mount, even one it cannot name.
	records.clear();
	for (const MountEntry &e : entries) {
		struct compat_statfs rec{};
		compat::fill_names(e, rec);
		records.push_back(rec);
	}
	*mntbufp = records.data();
	return int(records.size());
}
