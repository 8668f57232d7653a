/*
 * plist_set: set one top-level key of a property-list file to a string.
 *
 *	plist_set FILE KEY VALUE
 *
 * The file is read whole, its root must be a dictionary, the key is set
 * (added, or its value replaced whatever its type) in a copy of that
 * dictionary, and the whole property list is written back to the file in
 * the XML form.  Nested containers are kept as they were read.  Every
 * failure is one line on standard error and exit status 1; before the
 * write, the file is never touched.
 */
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>

static CFPropertyListRef ReadPropertyListFromFile(CFURLRef fileURL);
static bool WritePropertyListToFile(CFPropertyListRef propertyList, CFURLRef fileURL);

int main(int argc, char *argv[])
{
	if (argc != 4) {
		fprintf(stderr, "Invalid number of arguments. (got: %d, required: 3)\n", argc - 1);
		return 1;
	}

	int status = 1;
	CFURLRef fileURL = NULL;
	CFPropertyListRef propertyList = NULL;
	CFMutableDictionaryRef dictionary = NULL;

	CFStringRef cfFileNameArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[1], kCFStringEncodingUTF8);
	CFStringRef cfKeyArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[2], kCFStringEncodingUTF8);
	CFStringRef cfValueArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[3], kCFStringEncodingUTF8);
	if (cfFileNameArgument != NULL)
		fileURL = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, cfFileNameArgument, kCFURLPOSIXPathStyle,
							false);

	if (cfFileNameArgument == NULL || cfKeyArgument == NULL || cfValueArgument == NULL ||
	    fileURL == NULL) {
		fprintf(stderr,
			"Failed to create necessary objects. cfFileNameArgument=%p cfKeyArgument=%p "
			"cfValueArgument=%p fileURL=%p\n",
			static_cast<const void *>(cfFileNameArgument), static_cast<const void *>(cfKeyArgument),
			static_cast<const void *>(cfValueArgument), static_cast<const void *>(fileURL));
		goto out;
	}

	propertyList = ReadPropertyListFromFile(fileURL);
	if (propertyList == NULL) {
		fprintf(stderr, "NULL property list.\n");
		goto out;
	}
	if (CFGetTypeID(propertyList) != CFDictionaryGetTypeID()) {
		fprintf(stderr, "Invalid property list root type: %d\n", static_cast<int>(CFGetTypeID(propertyList)));
		goto out;
	}

	dictionary = CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0,
						   static_cast<CFDictionaryRef>(propertyList));
	if (dictionary == NULL) {
		fprintf(stderr, "Failed to write property list to file \"%s\"\n", argv[1]);
		goto out;
	}
	CFDictionarySetValue(dictionary, cfKeyArgument, cfValueArgument);

	if (!WritePropertyListToFile(dictionary, fileURL)) {
		fprintf(stderr, "Failed to write property list to file \"%s\"\n", argv[1]);
		goto out;
	}
	status = 0;

out:
	if (dictionary != NULL)
		CFRelease(dictionary);
	if (propertyList != NULL)
		CFRelease(propertyList);
	if (fileURL != NULL)
		CFRelease(fileURL);
	if (cfValueArgument != NULL)
		CFRelease(cfValueArgument);
	if (cfKeyArgument != NULL)
		CFRelease(cfKeyArgument);
	if (cfFileNameArgument != NULL)
		CFRelease(cfFileNameArgument);
	return status;
}

/* The property list in the file, or NULL when the file cannot be read or
 * holds no property list. */
static CFPropertyListRef ReadPropertyListFromFile(CFURLRef fileURL)
{
	CFDataRef resourceData = NULL;
	SInt32 errorCode = 0;
	if (!CFURLCreateDataAndPropertiesFromResource(kCFAllocatorDefault, fileURL, &resourceData, NULL, NULL,
						      &errorCode))
		return NULL;

	CFStringRef errorString = NULL;
	CFPropertyListRef propertyList = CFPropertyListCreateFromXMLData(kCFAllocatorDefault, resourceData,
									 kCFPropertyListImmutable, &errorString);
	if (errorString != NULL)
		CFRelease(errorString);
	CFRelease(resourceData);
	return propertyList;
}

/* Serialises the property list as XML and replaces the file's content. */
static bool WritePropertyListToFile(CFPropertyListRef propertyList, CFURLRef fileURL)
{
	CFDataRef xmlData = CFPropertyListCreateXMLData(kCFAllocatorDefault, propertyList);
	if (xmlData == NULL)
		return false;
	SInt32 errorCode = 0;
	Boolean written = CFURLWriteDataAndPropertiesToResource(fileURL, xmlData, NULL, &errorCode);
	CFRelease(xmlData);
	return written;
}
