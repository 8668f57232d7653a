/*
 * CFPropertyList for Linux: property lists read from the XML and the
 * binary form, and written in the XML form.
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

/* The property list in xmlData, XML or binary form, made of immutable
 * objects; only kCFPropertyListImmutable is understood.  On failure NULL,
 * and *errorString (when errorString is not NULL) receives a new string
 * that says why; on success it receives NULL. */
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
						  CFOptionFlags mutabilityOption, CFStringRef *errorString);

/* The property list in the XML form, dictionary keys sorted at every
 * level; NULL when it holds an object that is no property-list type or a
 * value that the form cannot carry. */
CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);

CF_EXTERN_C_END

#endif
