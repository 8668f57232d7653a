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

#endif
