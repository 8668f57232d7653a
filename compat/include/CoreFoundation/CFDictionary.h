/* CFDictionary for Linux: not yet needed by any tool. */
#ifndef ARDOVA_COMPAT_CFDICTIONARY_H
#define ARDOVA_COMPAT_CFDICTIONARY_H

#include <CoreFoundation/CFBase.h>

#endif
