// Locked opens made as the target makes them: the file is opened, or
// created, first and locked after, not in one step as the platform layer
// does.  Linked into a second build of the daemon, so that a test can hold
// a start between creating its pid file and locking it: the first
// exclusive create stops the process (SIGSTOP) before it locks.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

int open_then_lock(const char *path, int flags, mode_t mode)
{
	const int lock = flags & (O_EXLOCK | O_SHLOCK);
	int fd = int(syscall(SYS_openat, AT_FDCWD, path, flags & ~lock, mode));
	if (fd < 0 || lock == 0)
		return fd;
	static bool stopped_once = false;
	if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && !stopped_once) {
		stopped_once = true;
		raise(SIGSTOP);
	}
	if (flock(fd, (lock & O_EXLOCK) ? LOCK_EX : LOCK_SH) != 0) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

}  // namespace

extern "C" int __wrap_open(const char *path, int flags, ...)
{
	mode_t mode = 0;
	if (flags & O_CREAT) {
		va_list ap;
		va_start(ap, flags);
		mode = mode_t(va_arg(ap, int));
		va_end(ap);
	}
	return open_then_lock(path, flags, mode);
}

extern "C" int __wrap_open64(const char *path, int flags, ...) __attribute__((alias("__wrap_open")));

extern "C" int __wrap___open_2(const char *path, int flags)
{
	return open_then_lock(path, flags, 0);
}

extern "C" int __wrap___open64_2(const char *path, int flags) __attribute__((alias("__wrap___open_2")));
