/* CFDate for Linux: points in time as seconds since 2001-01-01 00:00:00 UTC. */
#ifndef ARDOVA_COMPAT_CFDATE_H
#define ARDOVA_COMPAT_CFDATE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

/* Seconds from 1970-01-01 to 2001-01-01. */
extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;

typedef const struct __CFDate *CFDateRef;

CFTypeID CFDateGetTypeID(void);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);

CF_EXTERN_C_END

#endif
