/*
 * <fcntl.h> for Linux with the target's locked opens: O_EXLOCK and O_SHLOCK
 * take a whole-file advisory lock (flock) as part of open(), waiting for it
 * unless O_NONBLOCK is given.  With O_CREAT | O_EXCL the new file is already
 * locked when its name appears, so no other process can lock it first.
 *
 * The values are the target's own; Linux uses neither bit for open().  The
 * tools call plain open(): programs that link platform::libc have their
 * open() calls routed to the platform layer by the linker (--wrap), so no
 * macro renames anything that merely happens to be called open.
 */
#ifndef ARDOVA_COMPAT_FCNTL_H
#define ARDOVA_COMPAT_FCNTL_H

/* It extends the system's own header, as a system header may. */
#pragma GCC system_header
#include_next <fcntl.h>

#define O_SHLOCK 0x00000010
#define O_EXLOCK 0x00000020

/*
 * fcntl(fd, F_PREALLOCATE, fstore_t *): reserve storage for a file without
 * changing its size, so that later writes cannot run out of space.  Only
 * F_PEOFPOSMODE is known here: fst_length bytes from the end of the file
 * (Linux keeps no physical end apart from the size), fst_offset 0.  On
 * success fst_bytesalloc holds the bytes reserved.  Programs that link
 * platform::preallocate have their fcntl() calls routed to the platform
 * layer (--wrap); every other command goes on to Linux unchanged.
 */
#include <sys/types.h>

#define F_PREALLOCATE 42

#define F_ALLOCATECONTIG 0x00000002 /* contiguous space */
#define F_ALLOCATEALL 0x00000004    /* all of it or nothing */

#define F_PEOFPOSMODE 3 /* from the end of the file */
#define F_VOLPOSMODE 4  /* from a volume offset: not known here */

typedef struct fstore {
	unsigned int fst_flags;
	int fst_posmode;
	off_t fst_offset;
	off_t fst_length;
	off_t fst_bytesalloc;
} fstore_t;

/*
 * Close-on-exec at open() and at F_DUPFD came with Mac OS X 10.7: the tool
 * sources (C++98) see neither, as on the target.  The platform layer and
 * the tests (C++20) see glibc's.
 */
#if defined(__cplusplus) && __cplusplus < 201103L
#undef O_CLOEXEC
#undef F_DUPFD_CLOEXEC
#endif

#endif
