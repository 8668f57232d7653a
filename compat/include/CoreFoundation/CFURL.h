/* CFURL for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFURL_H
#define ARDOVA_COMPAT_CFURL_H

#include <CoreFoundation/CFBase.h>

#endif
