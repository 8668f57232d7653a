/* CFDate for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFDATE_H
#define ARDOVA_COMPAT_CFDATE_H

#include <CoreFoundation/CFBase.h>

#endif
