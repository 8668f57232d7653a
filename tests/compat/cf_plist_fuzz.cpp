// The property-list reader under libFuzzer: whatever the bytes, reading
// ends in a property list or a refusal, never a crash or a memory error.
// A property list read, with a key set as plist_set sets it, is written as
// XML when plist_set's own count of the XML form lets it be: never larger
// than that count, and it must read back and write again to the very same
// bytes (or, for a date written with a second of 60, which reads back as
// the next minute, to bytes that are stable from then on).
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

// The program itself, for its count of the XML form.
#define main plist_set_main
#include "../../Tools/plist_set/src/plist_set.cpp"
#undef main

namespace {

CFDataRef reread(CFDataRef xml)
{
	CFStringRef error = nullptr;
	CFPropertyListRef again = CFPropertyListCreateFromXMLData(nullptr, xml, kCFPropertyListImmutable, &error);
	if (again == nullptr) {
		fprintf(stderr, "written property list not readable:\n%.*s\n", int(CFDataGetLength(xml)),
			reinterpret_cast<const char *>(CFDataGetBytePtr(xml)));
		abort();
	}
	CFDataRef xml2 = CFPropertyListCreateXMLData(nullptr, again);
	CFRelease(again);
	if (xml2 == nullptr)
		abort();
	return xml2;
}

std::string_view view(CFDataRef d)
{
	return std::string_view(reinterpret_cast<const char *>(CFDataGetBytePtr(d)), size_t(CFDataGetLength(d)));
}

}  // namespace

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
	CFDataRef xml = nullptr;
	if (xml_form_fits(written, off_t(size)))
		xml = CFPropertyListCreateXMLData(nullptr, written);
	if (xml != nullptr) {
		off_t left = largest_file;
		if (!count_bytes(xml_frame, &left) || !count_xml(written, 0, &left) ||
		    CFDataGetLength(xml) > largest_file - left) {
			fprintf(stderr, "XML form larger than counted (%ld bytes, counted %lld)\n",
				long(CFDataGetLength(xml)), static_cast<long long>(largest_file - left));
			abort();
		}
		CFDataRef xml2 = reread(xml);
		if (view(xml2) != view(xml)) {
			CFDataRef xml3 = reread(xml2);
			if (view(xml).find(":60Z</date>") == std::string_view::npos || view(xml3) != view(xml2)) {
				fprintf(stderr, "written property list not stable:\n%.*s\n", int(CFDataGetLength(xml)),
					reinterpret_cast<const char *>(CFDataGetBytePtr(xml)));
				abort();
			}
			CFRelease(xml3);
		}
		CFRelease(xml2);
		CFRelease(xml);
	}
	if (copy)
		CFRelease(copy);
	CFRelease(plist);
	return 0;
}
