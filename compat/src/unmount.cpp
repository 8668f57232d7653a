// unmount() with the target's flag values on top of umount2(2).
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {
// Linux's own umount2 flags; its <sys/mount.h> is shadowed by ours.
constexpr int linux_mnt_force = 1;
constexpr int linux_mnt_detach = 2;
constexpr int linux_umount_nofollow = 8;

// A symbolic link in the last place of the path is never followed: the
// name of a mount point that is gone may have been given to a link since,
// and root must not unmount what that link leads to.
int umount2(const char *dir, int flags)
{
	return int(syscall(SYS_umount2, dir, flags | linux_umount_nofollow));
}
}  // namespace

extern "C" int unmount(const char *dir, int flags)
{
	if (!(flags & MNT_FORCE))
		return umount2(dir, 0);
	if (umount2(dir, linux_mnt_force) == 0)
		return 0;
	// A forced unmount removes a busy volume on the target; on Linux a busy
	// FUSE volume refuses even the forced call, so detach it instead.
	if (errno != EBUSY)
		return -1;
	return umount2(dir, linux_mnt_detach);
}
