/* CFData for Linux: immutable byte buffers. */
#ifndef ARDOVA_COMPAT_CFDATA_H
#define ARDOVA_COMPAT_CFDATA_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFData *CFDataRef;

CFTypeID CFDataGetTypeID(void);

/* A copy of length bytes; bytes may be NULL when length is 0.  NULL when
 * memory runs out. */
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8 *CFDataGetBytePtr(CFDataRef theData);

CF_EXTERN_C_END

#endif
