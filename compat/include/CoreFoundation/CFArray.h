/* CFArray for Linux: ordered collections, as the property-list reader
 * makes them.  The tools look at them, and make none. */
#ifndef ARDOVA_COMPAT_CFARRAY_H
#define ARDOVA_COMPAT_CFARRAY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFArray *CFArrayRef;

CFTypeID CFArrayGetTypeID(void);

CFIndex CFArrayGetCount(CFArrayRef theArray);

/* The value at idx, which the caller does not own.  An index outside the
 * array is a programming error and aborts, as the target's assertion
 * does. */
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

CF_EXTERN_C_END

#endif
