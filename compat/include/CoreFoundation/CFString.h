/*
 * CFString for Linux: immutable strings made from C strings, held as
 * Unicode.  UTF-8 and ASCII are the encodings understood; a C string that is
 * not valid in the encoding given makes no string.
 */
#ifndef ARDOVA_COMPAT_CFSTRING_H
#define ARDOVA_COMPAT_CFSTRING_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>

CF_EXTERN_C_BEGIN

typedef UInt32 CFStringEncoding;

enum {
	kCFStringEncodingASCII = 0x0600,
	kCFStringEncodingUTF8 = 0x08000100
};

/* A new string, or NULL when cStr is not valid in the encoding or memory
 * runs out. */
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding);

CFTypeID CFStringGetTypeID(void);

/* The length in UTF-16 code units, as the target counts it. */
CFIndex CFStringGetLength(CFStringRef theString);

/* The string's characters as bytes in the encoding, without a NUL: UTF-8,
 * or ASCII, where each character outside ASCII becomes lossByte (and makes
 * no data when lossByte is 0).  NULL for another encoding or when memory
 * runs out.  The target may put a byte-order mark before UTF-8; this layer
 * never does. */
CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
					       CFStringEncoding encoding, UInt8 lossByte);

/* Constant strings: CFSTR("text") is never freed; releasing it does nothing. */
CFStringRef __CFStringMakeConstantString(const char *cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

CF_EXTERN_C_END

#endif
