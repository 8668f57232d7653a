// A tool source in miniature, built as the tools are (C++98 against the
// platform layer) in one of the ways that CASE selects; CMakeLists.txt
// says which of them must build and which must fail, and how.
#if CASE == 1  // a limit macro, unasked
#include <stdint.h>
long largest() { return INT32_MAX; }
#elif CASE == 2  // asked for before the header
#define __STDC_LIMIT_MACROS
#include <stdint.h>
long largest() { return INT32_MAX; }
#elif CASE == 3  // asked for only after the first inclusion, which decides
#include <inttypes.h>
#define __STDC_LIMIT_MACROS
#include <stdint.h>
unsigned long largest() { return SIZE_MAX; }
#elif CASE == 4  // what a tool source uses instead
#include <climits>
#include <stdint.h>
long largest() { return INT_MAX; }
#elif CASE == 5  // a constant macro, unasked
#include <stdint.h>
unsigned long largest() { return UINT32_C(1); }
#elif CASE == 6  // asked for
#define __STDC_CONSTANT_MACROS
#include <stdint.h>
unsigned long largest() { return UINT32_C(1); }
#elif CASE == 7  // <wchar.h> defines its own limits, there as here
#include <stdint.h>
#include <wchar.h>
long largest() { return WCHAR_MAX; }
#elif CASE == 8  // close-on-exec at open(), which came with 10.7
#include <fcntl.h>
int flags() { return O_CLOEXEC; }
#elif CASE == 9  // glibc's own extensions
#include <unistd.h>
int make_pipe(int fds[2]) { return pipe2(fds, 0); }
#elif CASE == 10  // declared by no header of the target
#include <unistd.h>
char **environment() { return environ; }
#elif CASE == 11  // the BSD extras the target has
#include <sys/file.h>
#include <sys/types.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
int extras(char *name)
{
	return flock(0, LOCK_EX) + mkstemps(name, 6) + (mkdtemp(name) != NULL) + O_NOFOLLOW + O_DIRECTORY +
	       (strsignal(SIGTERM) != NULL);
}
#else
#error "CASE names no case"
#endif
