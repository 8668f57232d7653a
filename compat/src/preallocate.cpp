// fcntl() with the target's F_PREALLOCATE, on top of fallocate(2).
//
// The target reserves fst_length bytes past the physical end of the file.
// Linux keeps no such end apart from the size, so the space is reserved
// from the size on, and the size stays: the same guarantee for the bytes
// that a caller is about to add at the end.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>

extern "C" int __real_fcntl(int fd, int cmd, ...);
extern "C" int __real_fcntl64(int fd, int cmd, ...);

namespace {

int preallocate(int fd, fstore_t *store)
{
	if (store == nullptr) {
		errno = EFAULT;
		return -1;
	}
	const unsigned known = F_ALLOCATECONTIG | F_ALLOCATEALL;
	if (store->fst_posmode != F_PEOFPOSMODE || store->fst_offset != 0 || store->fst_length < 0 ||
	    (store->fst_flags & ~known) != 0) {
		errno = EINVAL;
		return -1;
	}
	store->fst_bytesalloc = 0;
	struct stat st;
	if (fstat(fd, &st) != 0)
		return -1;
	// Linux gives all of the range or fails, in whatever layout: both
	// flags are met.
	if (store->fst_length > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, store->fst_length) != 0)
		return -1;
	store->fst_bytesalloc = store->fst_length;
	return 0;
}

// Every argument of fcntl() is an int or a pointer; like the C library,
// take it as a pointer-sized word and pass it on unchanged.
template <int (*real)(int, int, ...)> int dispatch(int fd, int cmd, va_list ap)
{
	void *arg = va_arg(ap, void *);
	if (cmd == F_PREALLOCATE)
		return preallocate(fd, static_cast<fstore_t *>(arg));
	return real(fd, cmd, arg);
}

}  // namespace

// The linker routes every fcntl() of a program that links
// platform::preallocate here (see compat/CMakeLists.txt).
extern "C" int __wrap_fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	int result = dispatch<__real_fcntl>(fd, cmd, ap);
	va_end(ap);
	return result;
}

// 32-bit programs with 64-bit offsets call this name instead.
extern "C" int __wrap_fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	int result = dispatch<__real_fcntl64>(fd, cmd, ap);
	va_end(ap);
	return result;
}
