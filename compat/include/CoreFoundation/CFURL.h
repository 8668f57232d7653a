/* CFURL for Linux: file URLs made from POSIX paths. */
#ifndef ARDOVA_COMPAT_CFURL_H
#define ARDOVA_COMPAT_CFURL_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef CFIndex CFURLPathStyle;

enum {
	kCFURLPOSIXPathStyle = 0,
	kCFURLHFSPathStyle = 1,
	kCFURLWindowsPathStyle = 2
};

typedef const struct __CFURL *CFURLRef;

CFTypeID CFURLGetTypeID(void);

/* A file URL for filePath.  Only the POSIX style is understood; a relative
 * path is taken from the working directory at the time of the call.  NULL
 * when filePath is NULL, the style is another, or the working directory
 * cannot be found. */
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
				       CFURLPathStyle pathStyle, Boolean isDirectory);

/* The absolute path as a NUL-terminated C string; false when it does not
 * fit in maxBufLen bytes. */
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8 *buffer,
					 CFIndex maxBufLen);

/* The absolute path as a new string (POSIX style only). */
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);

CF_EXTERN_C_END

#endif
