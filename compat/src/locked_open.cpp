// open() with the target's O_EXLOCK and O_SHLOCK, on top of flock(2).
// Every program that links the platform layer carries this file, so it
// needs nothing of the C++ run-time library.
//
// A plain open locks after opening.  An exclusive create must never show a
// name that another process could open and lock before its creator does, so
// the file is made without a name (O_TMPFILE), locked, and then linked to its
// name; link() fails with EEXIST when the name exists, as O_EXCL does.  File
// systems without O_TMPFILE get a locked file under a unique hidden name in
// the same folder, linked to the real name and then unlinked.
#include "locked_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int lock_bits = O_EXLOCK | O_SHLOCK;
constexpr int linux_bits = O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_APPEND | O_NONBLOCK |
			   O_DSYNC | O_SYNC | O_DIRECT | O_LARGEFILE | O_DIRECTORY | O_NOFOLLOW | O_NOATIME |
			   O_CLOEXEC | O_PATH | O_TMPFILE | O_ASYNC;
static_assert((lock_bits & linux_bits) == 0, "the lock bits must be free on Linux");

bool needs_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int lock_operation(int flags)
{
	return ((flags & O_EXLOCK) ? LOCK_EX : LOCK_SH) | ((flags & O_NONBLOCK) ? LOCK_NB : 0);
}

int fail_closing(int fd)
{
	int err = errno;
	close(fd);
	errno = err;
	return -1;
}

// The descriptor with its lock, or -1 with the error of the failing step.
// The target locks files and folders only: FIFOs, devices and sockets
// refuse with ENOTSUP, where Linux would lock them.
int lock_or_close(int fd, int flags)
{
	if (fd < 0)
		return -1;
	struct stat st;
	if (fstat(fd, &st) != 0)
		return fail_closing(fd);
	if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
		close(fd);
		errno = ENOTSUP;
		return -1;
	}
	if (flock(fd, lock_operation(flags)) != 0)
		return fail_closing(fd);
	return fd;
}

// The folder of path into folder (PATH_MAX bytes); -1 with ENAMETOOLONG
// when it does not fit.
int folder_of(const char *path, char *folder)
{
	const char *slash = strrchr(path, '/');
	if (slash == nullptr)
		return snprintf(folder, PATH_MAX, ".") < 0 ? -1 : 0;
	const size_t length = slash == path ? 1 : size_t(slash - path);
	if (length >= PATH_MAX) {
		errno = ENAMETOOLONG;
		return -1;
	}
	memcpy(folder, path, length);
	folder[length] = '\0';
	return 0;
}

// Gives an unnamed file its name.  AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH;
// the /proc path works for everyone.
int link_unnamed(int fd, const char *path)
{
	if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0)
		return 0;
	if (errno != ENOENT && errno != EPERM)
		return -1;
	char proc_path[64];
	snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
	return linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}

int create_unnamed_then_link(const char *path, const char *folder, int flags, mode_t mode)
{
	// O_NOFOLLOW concerns the final name, which link() never follows; the
	// folder itself may well be a link (/var/run often is).
	int base = flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | lock_bits);
	int fd = openat(AT_FDCWD, folder, base | O_TMPFILE, mode);
	if (fd < 0)
		return -1;
	// Nobody else can reach an unnamed file, so the lock is free.
	if (flock(fd, lock_operation(flags) | LOCK_NB) != 0 || link_unnamed(fd, path) != 0)
		return fail_closing(fd);
	return fd;
}

int create_hidden_then_link(const char *path, const char *folder, int flags, mode_t mode)
{
	static std::atomic<unsigned> counter{0};
	const char *slash = strrchr(path, '/');
	const char *name = slash == nullptr ? path : slash + 1;
	int base = flags & ~(O_CREAT | O_EXCL | O_TRUNC | lock_bits);
	for (int attempt = 0; attempt < 100; attempt++) {
		char hidden[PATH_MAX];
		int length = snprintf(hidden, sizeof hidden, "%s/.%s.%ld.%u", folder, name, long(getpid()),
				      counter.fetch_add(1));
		if (length < 0 || size_t(length) >= sizeof hidden) {
			errno = ENAMETOOLONG;
			return -1;
		}
		int fd = openat(AT_FDCWD, hidden, base | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
		if (fd < 0) {
			if (errno == EEXIST)
				continue;
			return -1;
		}
		int rc = flock(fd, lock_operation(flags) | LOCK_NB);
		if (rc == 0)
			rc = link(hidden, path);
		int err = errno;
		unlink(hidden);
		if (rc != 0) {
			close(fd);
			errno = err;
			return -1;
		}
		return fd;
	}
	errno = EEXIST;
	return -1;
}

}  // namespace

namespace compat {

int create_locked(const char *path, int flags, mode_t mode, bool use_tmpfile)
{
	const size_t length = strlen(path);
	if (length == 0) {
		errno = ENOENT;
		return -1;
	}
	if (path[length - 1] == '/') {
		errno = EISDIR;
		return -1;
	}
	char folder[PATH_MAX];
	if (folder_of(path, folder) != 0)
		return -1;
	// O_TMPFILE wants write access; a read-only create takes the other way.
	if (use_tmpfile && (flags & O_ACCMODE) != O_RDONLY) {
		int fd = create_unnamed_then_link(path, folder, flags, mode);
		if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
			return fd;
	}
	return create_hidden_then_link(path, folder, flags, mode);
}

int open_file(const char *path, int flags, mode_t mode)
{
	if ((flags & lock_bits) == 0)
		return openat(AT_FDCWD, path, flags, mode);
	if ((flags & lock_bits) == lock_bits) {
		errno = EINVAL;
		return -1;
	}
	if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
		return create_locked(path, flags, mode, true);

	// Truncation waits for the lock, as on the target.
	const bool truncate = (flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY;
	const int plain = flags & ~(lock_bits | (truncate ? O_TRUNC : 0));
	if ((flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE) {
		// A missing file is made locked; an existing one is opened and
		// locked below.
		int fd = create_locked(path, flags | O_EXCL, mode, true);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	int fd = lock_or_close(openat(AT_FDCWD, path, plain, mode), flags);
	if (fd >= 0 && truncate && ftruncate(fd, 0) != 0)
		return fail_closing(fd);
	return fd;
}

}  // namespace compat

// The linker routes every open() of a program that links platform::libc
// here (see compat/CMakeLists.txt); the _2 forms are those of
// _FORTIFY_SOURCE, which never carry a mode.
namespace {

int open_with_arguments(const char *path, int flags, va_list ap)
{
	mode_t mode = needs_mode(flags) ? mode_t(va_arg(ap, int)) : 0;
	return compat::open_file(path, flags, mode);
}

}  // namespace

extern "C" int __wrap_open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = open_with_arguments(path, flags, ap);
	va_end(ap);
	return fd;
}

// The 64 forms are what a 32-bit program built with 64-bit file offsets
// calls: they open files of 2 GiB and more, which the kernel allows only
// with O_LARGEFILE (0 in 64-bit programs, where the kernel implies it).
extern "C" int __wrap_open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = open_with_arguments(path, flags | O_LARGEFILE, ap);
	va_end(ap);
	return fd;
}

extern "C" int __wrap___open_2(const char *path, int flags)
{
	return compat::open_file(path, flags, 0);
}

extern "C" int __wrap___open64_2(const char *path, int flags)
{
	return compat::open_file(path, flags | O_LARGEFILE, 0);
}
