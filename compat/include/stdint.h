/*
 * <stdint.h> as the target's C++ sees it.  C99 (7.18.2, 7.18.4) asks C++
 * implementations to define the limit macros (INT32_MAX, SIZE_MAX, ...)
 * only when __STDC_LIMIT_MACROS, and the constant macros (INT64_C, ...)
 * only when __STDC_CONSTANT_MACROS, is defined before <stdint.h> is first
 * included.  The target's header keeps that rule, and so does this one;
 * glibc's defines them always, and adds the C2x width macros, which the
 * target has not.  So a tool source that uses such a macro unasked fails
 * to build here as it would there: in C++ use <climits> (INT_MAX,
 * LONG_MAX) instead.
 *
 * Only C++ before C++11 is concerned, which is to say the tool sources:
 * C++11 dropped the rule, so the platform layer and the tests (C++20) and
 * every C source see glibc's header unchanged.  As on the target, the
 * first inclusion decides; a request made after it changes nothing.
 */
#ifndef ARDOVA_COMPAT_STDINT_H
#define ARDOVA_COMPAT_STDINT_H

/* It extends the system's own header, as a system header may. */
#pragma GCC system_header

#if defined(__cplusplus) && __cplusplus < 201103L && !defined(__STDC_LIMIT_MACROS) && !defined(WCHAR_MAX)
/* <wchar.h> defines these two, there as here; only this header's go. */
#define ARDOVA_COMPAT_STDINT_HIDES_WCHAR_LIMITS
#endif

#include_next <stdint.h>

#if defined(__cplusplus) && __cplusplus < 201103L

#ifndef __STDC_LIMIT_MACROS
#undef INT8_MIN
#undef INT16_MIN
#undef INT32_MIN
#undef INT64_MIN
#undef INT8_MAX
#undef INT16_MAX
#undef INT32_MAX
#undef INT64_MAX
#undef UINT8_MAX
#undef UINT16_MAX
#undef UINT32_MAX
#undef UINT64_MAX
#undef INT_LEAST8_MIN
#undef INT_LEAST16_MIN
#undef INT_LEAST32_MIN
#undef INT_LEAST64_MIN
#undef INT_LEAST8_MAX
#undef INT_LEAST16_MAX
#undef INT_LEAST32_MAX
#undef INT_LEAST64_MAX
#undef UINT_LEAST8_MAX
#undef UINT_LEAST16_MAX
#undef UINT_LEAST32_MAX
#undef UINT_LEAST64_MAX
#undef INT_FAST8_MIN
#undef INT_FAST16_MIN
#undef INT_FAST32_MIN
#undef INT_FAST64_MIN
#undef INT_FAST8_MAX
#undef INT_FAST16_MAX
#undef INT_FAST32_MAX
#undef INT_FAST64_MAX
#undef UINT_FAST8_MAX
#undef UINT_FAST16_MAX
#undef UINT_FAST32_MAX
#undef UINT_FAST64_MAX
#undef INTPTR_MIN
#undef INTPTR_MAX
#undef UINTPTR_MAX
#undef INTMAX_MIN
#undef INTMAX_MAX
#undef UINTMAX_MAX
#undef PTRDIFF_MIN
#undef PTRDIFF_MAX
#undef SIG_ATOMIC_MIN
#undef SIG_ATOMIC_MAX
#undef SIZE_MAX
#undef WINT_MIN
#undef WINT_MAX
#endif

#ifdef ARDOVA_COMPAT_STDINT_HIDES_WCHAR_LIMITS
#undef WCHAR_MIN
#undef WCHAR_MAX
#undef ARDOVA_COMPAT_STDINT_HIDES_WCHAR_LIMITS
#endif

#ifndef __STDC_CONSTANT_MACROS
#undef INT8_C
#undef INT16_C
#undef INT32_C
#undef INT64_C
#undef UINT8_C
#undef UINT16_C
#undef UINT32_C
#undef UINT64_C
#undef INTMAX_C
#undef UINTMAX_C
#endif

#undef INT8_WIDTH
#undef UINT8_WIDTH
#undef INT16_WIDTH
#undef UINT16_WIDTH
#undef INT32_WIDTH
#undef UINT32_WIDTH
#undef INT64_WIDTH
#undef UINT64_WIDTH
#undef INT_LEAST8_WIDTH
#undef UINT_LEAST8_WIDTH
#undef INT_LEAST16_WIDTH
#undef UINT_LEAST16_WIDTH
#undef INT_LEAST32_WIDTH
#undef UINT_LEAST32_WIDTH
#undef INT_LEAST64_WIDTH
#undef UINT_LEAST64_WIDTH
#undef INT_FAST8_WIDTH
#undef UINT_FAST8_WIDTH
#undef INT_FAST16_WIDTH
#undef UINT_FAST16_WIDTH
#undef INT_FAST32_WIDTH
#undef UINT_FAST32_WIDTH
#undef INT_FAST64_WIDTH
#undef UINT_FAST64_WIDTH
#undef INTPTR_WIDTH
#undef UINTPTR_WIDTH
#undef INTMAX_WIDTH
#undef UINTMAX_WIDTH
#undef PTRDIFF_WIDTH
#undef SIG_ATOMIC_WIDTH
#undef SIZE_WIDTH
#undef WCHAR_WIDTH
#undef WINT_WIDTH

#endif /* C++ before C++11 */

#endif
