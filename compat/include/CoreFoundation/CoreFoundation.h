/* CoreFoundation for Linux: the subset of the target's framework that the
 * tools use. */
#ifndef ARDOVA_COMPAT_COREFOUNDATION_H
#define ARDOVA_COMPAT_COREFOUNDATION_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CFPropertyList.h>

#endif
