// Immutable strings, held as UTF-8.
#include "cf_types.h"

#include <map>

namespace compat {

size_t valid_utf8_prefix(std::string_view text)
{
	const auto *s = reinterpret_cast<const unsigned char *>(text.data());
	const size_t n = text.size();
	size_t i = 0;
	while (i < n) {
		unsigned char c = s[i];
		if (c < 0x80) {
			i++;
			continue;
		}
		size_t len;
		uint32_t cp;
		if (c >= 0xC2 && c <= 0xDF) {
			len = 2;
			cp = c & 0x1F;
		} else if (c >= 0xE0 && c <= 0xEF) {
			len = 3;
			cp = c & 0x0F;
		} else if (c >= 0xF0 && c <= 0xF4) {
			len = 4;
			cp = c & 0x07;
		} else {
			break;
		}
		if (n - i < len)
			break;
		size_t k = 1;
		for (; k < len && (s[i + k] & 0xC0) == 0x80; k++)
			cp = (cp << 6) | (s[i + k] & 0x3F);
		if (k < len)
			break;
		// Overlong forms, surrogates and values past U+10FFFF.
		if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
		    (cp >= 0xD800 && cp <= 0xDFFF))
			break;
		i += len;
	}
	return i;
}

CFStringRef make_string(std::string utf8)
{
	return cf_create<__CFString>(std::move(utf8));
}

CFStringRef make_string(std::string_view utf8)
{
	try {
		return make_string(std::string(utf8));
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

}  // namespace compat

extern "C" {

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr, CFStringEncoding encoding)
{
	if (cStr == nullptr)
		return nullptr;
	std::string_view text(cStr);
	bool valid = false;
	if (encoding == kCFStringEncodingUTF8) {
		valid = compat::is_valid_utf8(text);
	} else if (encoding == kCFStringEncodingASCII) {
		valid = true;
		for (unsigned char c : text)
			valid = valid && c < 0x80;
	}
	return valid ? compat::make_string(text) : nullptr;
}

CFTypeID CFStringGetTypeID(void)
{
	return compat::kCFStringTypeID;
}

CFIndex CFStringGetLength(CFStringRef theString)
{
	// One unit for each lead byte, two for each character beyond the
	// Basic Multilingual Plane (a four-byte sequence).
	CFIndex units = 0;
	for (unsigned char c : compat::as_string(theString, "CFStringGetLength")->utf8)
		units += (c & 0xC0) == 0x80 ? 0 : c >= 0xF0 ? 2 : 1;
	return units;
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef, CFStringRef theString, CFStringEncoding encoding,
					       UInt8 lossByte)
{
	const std::string &utf8 = compat::as_string(theString, "CFStringCreateExternalRepresentation")->utf8;
	try {
		if (encoding == kCFStringEncodingUTF8)
			return compat::make_data(utf8);
		if (encoding != kCFStringEncodingASCII)
			return nullptr;
		std::string ascii;
		ascii.reserve(utf8.size());
		for (unsigned char c : utf8) {
			if (c < 0x80)
				ascii += char(c);
			else if (lossByte == 0)
				return nullptr;
			else if ((c & 0xC0) != 0x80)
				ascii += char(lossByte);  // once for each character
		}
		return compat::make_data(std::move(ascii));
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

CFStringRef __CFStringMakeConstantString(const char *cStr)
{
	// One object per distinct text, kept for the life of the process.
	// The table is never destroyed, so that the strings stay reachable.
	if (!compat::is_valid_utf8(cStr))
		compat::misuse("CFSTR", "text that is not valid UTF-8");
	try {
		static auto &constants = *new std::map<std::string, CFStringRef, std::less<>>;
		auto found = constants.find(std::string_view(cStr));
		if (found != constants.end())
			return found->second;
		auto *s = new __CFString(cStr);
		s->make_immortal();
		constants.emplace(cStr, s);
		return s;
	} catch (const std::bad_alloc &) {
		// The target's constants are in the program file and cannot fail.
		compat::misuse("CFSTR", "no memory left for a constant string");
	}
}

}  // extern "C"
