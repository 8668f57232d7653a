/* CFNumber for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFNUMBER_H
#define ARDOVA_COMPAT_CFNUMBER_H

#include <CoreFoundation/CFBase.h>

#endif
