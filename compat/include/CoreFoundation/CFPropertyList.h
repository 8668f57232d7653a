/* CFPropertyList for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFPROPERTYLIST_H
#define ARDOVA_COMPAT_CFPROPERTYLIST_H

#include <CoreFoundation/CFBase.h>

#endif
