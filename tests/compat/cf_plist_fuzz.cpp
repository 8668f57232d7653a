// The property-list reader under libFuzzer: whatever the bytes, reading
// ends in a property list or a refusal, never a crash or a memory error.
// A property list read, with a key set as plist_set sets it, is written as
// XML; that XML must read back and write again to the very same bytes.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
	CFDataRef input = CFDataCreate(nullptr, bytes, CFIndex(size));
	CFStringRef error = nullptr;
	CFPropertyListRef plist = CFPropertyListCreateFromXMLData(nullptr, input, kCFPropertyListImmutable, &error);
	CFRelease(input);
	if (plist == nullptr) {
		if (error == nullptr)
			abort();  // a refusal always says why
		CFRelease(error);
		return 0;
	}

	// As plist_set does: a mutable copy with one key set.
	CFPropertyListRef written = plist;
	CFMutableDictionaryRef copy = nullptr;
	if (CFGetTypeID(plist) == CFDictionaryGetTypeID()) {
		copy = CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
		CFDictionarySetValue(copy, CFSTR("fuzz"), CFSTR("value <&> ]]>\r\n"));
		written = copy;
	}
	CFDataRef xml = CFPropertyListCreateXMLData(nullptr, written);
	if (xml != nullptr) {
		CFStringRef again_error = nullptr;
		CFPropertyListRef again = CFPropertyListCreateFromXMLData(nullptr, xml, kCFPropertyListImmutable,
									  &again_error);
		if (again == nullptr) {
			fprintf(stderr, "written property list not readable:\n%.*s\n", int(CFDataGetLength(xml)),
				reinterpret_cast<const char *>(CFDataGetBytePtr(xml)));
			abort();
		}
		CFDataRef xml2 = CFPropertyListCreateXMLData(nullptr, again);
		if (xml2 == nullptr || CFDataGetLength(xml2) != CFDataGetLength(xml) ||
		    memcmp(CFDataGetBytePtr(xml2), CFDataGetBytePtr(xml), size_t(CFDataGetLength(xml))) != 0) {
			fprintf(stderr, "written property list not stable:\n%.*s\n", int(CFDataGetLength(xml)),
				reinterpret_cast<const char *>(CFDataGetBytePtr(xml)));
			abort();
		}
		CFRelease(xml2);
		CFRelease(again);
		CFRelease(xml);
	}
	if (copy)
		CFRelease(copy);
	CFRelease(plist);
	return 0;
}
