/*
 * CFPropertyList for Linux: property lists read from every form the target
 * reads, and written in the XML form.
 */
#ifndef ARDOVA_COMPAT_CFPROPERTYLIST_H
#define ARDOVA_COMPAT_CFPROPERTYLIST_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef CFOptionFlags CFPropertyListMutabilityOptions;

enum {
	kCFPropertyListImmutable = 0,
	kCFPropertyListMutableContainers = 1,
	kCFPropertyListMutableContainersAndLeaves = 2
};

typedef CFIndex CFPropertyListFormat;

enum {
	kCFPropertyListOpenStepFormat = 1,
	kCFPropertyListXMLFormat_v1_0 = 100,
	kCFPropertyListBinaryFormat_v1_0 = 200
};

/* The property list in xmlData, made of immutable objects, read as the
 * target reads it: the binary form; XML in UTF-8, UTF-16 or UTF-32 with a
 * byte-order mark, or in the encoding its declaration names (US-ASCII,
 * ISO-8859-1, windows-1252, macintosh); or, text that is no XML property
 * list, the old-style form or a strings file.  Only
 * kCFPropertyListImmutable is understood.  On failure NULL, and
 * *errorString (when errorString is not NULL) receives a new string that
 * says why; on success it receives NULL.  Running out of memory is a
 * failure like any other. */
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
						  CFOptionFlags mutabilityOption, CFStringRef *errorString);

/* The property list in the target's XML form, dictionary keys sorted at
 * every level; NULL when it holds an object that is no property-list type
 * or a value that the form cannot carry, or memory runs out. */
CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);

CF_EXTERN_C_END

#endif
