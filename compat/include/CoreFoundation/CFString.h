/* CFString for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFSTRING_H
#define ARDOVA_COMPAT_CFSTRING_H

#include <CoreFoundation/CFBase.h>

#endif
