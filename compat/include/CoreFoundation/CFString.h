/*
 * CFString for Linux: immutable strings made from C strings, held as
 * Unicode.  UTF-8 and ASCII are the encodings understood; a C string that is
 * not valid in the encoding given makes no string.
 */
#ifndef ARDOVA_COMPAT_CFSTRING_H
#define ARDOVA_COMPAT_CFSTRING_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef UInt32 CFStringEncoding;

enum {
	kCFStringEncodingASCII = 0x0600,
	kCFStringEncodingUTF8 = 0x08000100
};

/* A new string, or NULL when cStr is not valid in the encoding or memory
 * runs out. */
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding);

/* Constant strings: CFSTR("text") is never freed; releasing it does nothing. */
CFStringRef __CFStringMakeConstantString(const char *cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

CF_EXTERN_C_END

#endif
