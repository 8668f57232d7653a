/* CFData for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFDATA_H
#define ARDOVA_COMPAT_CFDATA_H

#include <CoreFoundation/CFBase.h>

#endif
