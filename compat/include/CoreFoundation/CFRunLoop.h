/* CFRunLoop for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFRUNLOOP_H
#define ARDOVA_COMPAT_CFRUNLOOP_H

#include <CoreFoundation/CFBase.h>

#endif
