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
#else
#error "CASE names no case"
#endif
