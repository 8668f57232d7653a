/* CFDate for Linux: points in time as seconds since 2001-01-01 00:00:00 UTC,
 * as the property-list reader makes them.  The tools tell them by their
 * type and only pass them along. */
#ifndef ARDOVA_COMPAT_CFDATE_H
#define ARDOVA_COMPAT_CFDATE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

typedef const struct __CFDate *CFDateRef;

CFTypeID CFDateGetTypeID(void);

CF_EXTERN_C_END

#endif
