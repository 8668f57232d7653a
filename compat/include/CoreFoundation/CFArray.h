/* CFArray for Linux: ordered collections, as the property-list reader
 * makes them.  The tools only pass them along. */
#ifndef ARDOVA_COMPAT_CFARRAY_H
#define ARDOVA_COMPAT_CFARRAY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFArray *CFArrayRef;

CF_EXTERN_C_END

#endif
