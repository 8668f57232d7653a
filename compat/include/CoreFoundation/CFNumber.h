/* CFNumber and CFBoolean for Linux, as the property-list reader makes them.
 * The tools tell them by their type and only pass them along. */
#ifndef ARDOVA_COMPAT_CFNUMBER_H
#define ARDOVA_COMPAT_CFNUMBER_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFBoolean *CFBooleanRef;
typedef const struct __CFNumber *CFNumberRef;

CFTypeID CFBooleanGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);

CF_EXTERN_C_END

#endif
