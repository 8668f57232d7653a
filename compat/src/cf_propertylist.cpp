// CFPropertyListCreateFromXMLData and CFPropertyListCreateXMLData.
//
// Reading follows the platform: the binary form when the data starts with
// its signature, else text in the encoding the data says, read as an XML
// property list or, when that fails, in the old-style form.
#include "cf_plist.h"

namespace compat {

CFPropertyListRef parse_property_list(std::string_view bytes, const char *&why)
{
	why = nullptr;
	if (bytes.empty()) {
		why = "empty data";
		return nullptr;
	}
	// No more than the target's 32-bit programs can hold.
	if (bytes.size() >= kMaxBytes) {
		why = "property list too large";
		return nullptr;
	}
	try {
		// What is not binary then is no text either: the platform
		// would fail again on it.
		if (bytes.substr(0, 8) == "bplist00")
			return read_binary(bytes, why);
		std::string storage;
		std::string_view text;
		if (!decode_text(bytes, storage, text, why))
			return nullptr;
		const char *xml_why = nullptr;
		if (CFTypeRef plist = read_xml(text, xml_why))
			return plist;
		const char *openstep_why = nullptr;
		if (CFTypeRef plist = read_openstep(text, openstep_why))
			return plist;
		// Text that starts like an XML tag failed as XML; other text
		// (old-style data starts with '<' too) as the old-style form.
		const size_t first = text.find_first_not_of(" \t\r\n");
		const char next = first + 1 < text.size() ? text[first + 1] : 0;
		const bool tag = first != std::string_view::npos && text[first] == '<' &&
				 ((next >= 'a' && next <= 'z') || next == '?' || next == '!');
		why = tag ? xml_why : openstep_why;
		return nullptr;
	} catch (const std::bad_alloc &) {
		why = "out of memory";
		return nullptr;
	}
}

}  // namespace compat

extern "C" {

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags mutabilityOption,
						  CFStringRef *errorString)
{
	const std::string &bytes = compat::as_data(xmlData, "CFPropertyListCreateFromXMLData")->bytes;
	const char *why = nullptr;
	CFPropertyListRef result = nullptr;
	if (mutabilityOption != kCFPropertyListImmutable)
		why = "only immutable property lists are supported";
	else
		result = compat::parse_property_list(bytes, why);
	if (errorString)
		*errorString = result ? nullptr : compat::make_string(std::string_view(why ? why : "unknown error"));
	return result;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef, CFPropertyListRef propertyList)
{
	if (propertyList == nullptr)
		return nullptr;
	try {
		std::string xml;
		const char *why = nullptr;
		if (!compat::write_xml(propertyList, xml, why))
			return nullptr;
		return compat::make_data(std::move(xml));
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

}  // extern "C"
