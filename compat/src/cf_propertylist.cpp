// CFPropertyListCreateFromXMLData and CFPropertyListCreateXMLData.
//
// Reading follows the platform: the binary form when the data has its
// signature and a trailer the platform takes, else text in the encoding the
// data says, read as an XML property list or, when that fails, in the
// old-style form.
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
		// Bytes with the signature but a trailer the platform does not
		// take go on to the text readers, as the same bytes do there.
		bool is_binary = false;
		const char *binary_why = nullptr;
		const bool signed_binary = bytes.substr(0, 8) == "bplist00" || bytes.substr(0, 8) == "bplist01";
		if (signed_binary) {
			CFTypeRef plist = read_binary(bytes, is_binary, binary_why);
			if (is_binary) {
				why = binary_why;
				return plist;
			}
		}
		std::string storage;
		std::string_view text;
		if (!decode_text(bytes, storage, text, why)) {
			if (signed_binary)
				why = binary_why;
			return nullptr;
		}
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
		why = signed_binary ? binary_why : tag ? xml_why : openstep_why;
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
