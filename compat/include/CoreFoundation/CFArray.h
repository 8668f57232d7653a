/* CFArray for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFARRAY_H
#define ARDOVA_COMPAT_CFARRAY_H

#include <CoreFoundation/CFBase.h>

#endif
