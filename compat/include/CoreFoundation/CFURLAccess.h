/* CFURLAccess for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFURLACCESS_H
#define ARDOVA_COMPAT_CFURLACCESS_H

#include <CoreFoundation/CFBase.h>

#endif
