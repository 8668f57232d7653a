// Locked opens: the target's O_EXLOCK and O_SHLOCK on top of flock(2).
// Internal to the platform layer; open() reaches open_file() through the
// linker's --wrap.
#pragma once

#include <sys/types.h>

namespace compat {

// open() with the target's lock bits.
int open_file(const char *path, int flags, mode_t mode);

// Creates path exclusively and returns a descriptor that holds the lock
// asked for in flags before the name appears.  With use_tmpfile false the
// way for file systems without O_TMPFILE is taken at once.
int create_locked(const char *path, int flags, mode_t mode, bool use_tmpfile);

}  // namespace compat
