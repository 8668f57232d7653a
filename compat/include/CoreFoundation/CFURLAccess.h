/*
 * CFURLAccess for Linux: reading and writing the whole content of the file
 * that a file URL names.  No resource properties are kept or written.
 */
#ifndef ARDOVA_COMPAT_CFURLACCESS_H
#define ARDOVA_COMPAT_CFURLACCESS_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

enum {
	kCFURLUnknownError = -10,
	kCFURLUnknownSchemeError = -11,
	kCFURLResourceNotFoundError = -12,
	kCFURLResourceAccessViolationError = -13,
	kCFURLRemoteHostUnavailableError = -14,
	kCFURLImproperArgumentsError = -15,
	kCFURLUnknownPropertyKeyError = -16,
	kCFURLPropertyKeyUnavailableError = -17,
	kCFURLTimeoutError = -18
};

/* Reads the whole regular file into *resourceData.  When properties is not
 * NULL it receives an empty dictionary.  On failure *errorCode (when not
 * NULL) says why and nothing is returned. */
Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url, CFDataRef *resourceData,
						 CFDictionaryRef *properties, CFArrayRef desiredProperties,
						 SInt32 *errorCode);

/* Replaces the content of the file with dataToWrite: the data goes to a
 * new file in the same folder, is flushed to disk and renamed over the old
 * one, which keeps its permission bits (and its owner and group when the
 * caller is the super-user).  A symbolic link is written through to the
 * file it names and stays a link.  Where the folder takes no new file but
 * the file itself is writable, the file is rewritten in place.  A file the
 * caller may not write is not replaced.  A missing file is created.
 * propertiesToWrite must be NULL or empty. */
Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef dataToWrite,
					      CFDictionaryRef propertiesToWrite, SInt32 *errorCode);

CF_EXTERN_C_END

#endif
