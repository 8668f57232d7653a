// Immutable strings, held as UTF-8.
#include "cf_types.h"

#include <cstring>
#include <map>
#include <mutex>

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

namespace {

CFIndex count_utf16(std::string_view utf8)
{
	CFIndex units = 0;
	for (unsigned char c : utf8) {
		if ((c & 0xC0) != 0x80)
			units += c >= 0xF0 ? 2 : 1;
	}
	return units;
}

bool is_ascii(std::string_view text)
{
	for (unsigned char c : text) {
		if (c >= 0x80)
			return false;
	}
	return true;
}

}  // namespace

CFStringRef make_string(std::string utf8)
{
	return cf_create<__CFString>(std::move(utf8));
}

}  // namespace compat

__CFString::__CFString(std::string text)
	: CFObject(compat::kCFStringTypeID), utf8(std::move(text)), utf16_length(compat::count_utf16(utf8))
{
}

using compat::as_string;

extern "C" {

CFTypeID CFStringGetTypeID(void)
{
	return compat::kCFStringTypeID;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr, CFStringEncoding encoding)
{
	if (cStr == nullptr)
		return nullptr;
	std::string_view text(cStr);
	switch (encoding) {
	case kCFStringEncodingUTF8:
		if (!compat::is_valid_utf8(text))
			return nullptr;
		break;
	case kCFStringEncodingASCII:
		if (!compat::is_ascii(text))
			return nullptr;
		break;
	default:
		return nullptr;
	}
	return compat::make_string(std::string(text));
}

CFIndex CFStringGetLength(CFStringRef theString)
{
	return as_string(theString, "CFStringGetLength")->utf16_length;
}

Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
	const std::string &text = as_string(theString, "CFStringGetCString")->utf8;
	if (encoding != kCFStringEncodingUTF8 && !(encoding == kCFStringEncodingASCII && compat::is_ascii(text)))
		return false;
	if (bufferSize <= 0 || text.size() >= size_t(bufferSize))
		return false;
	memcpy(buffer, text.c_str(), text.size() + 1);
	return true;
}

const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding)
{
	const std::string &text = as_string(theString, "CFStringGetCStringPtr")->utf8;
	if (encoding == kCFStringEncodingUTF8 || (encoding == kCFStringEncodingASCII && compat::is_ascii(text)))
		return text.c_str();
	return nullptr;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
	// One UTF-16 unit takes at most three bytes of UTF-8; a pair, four.
	if (encoding == kCFStringEncodingUTF8)
		return length * 3;
	if (encoding == kCFStringEncodingASCII)
		return length;
	return -1;
}

CFStringRef __CFStringMakeConstantString(const char *cStr)
{
	// One object per distinct text, kept for the life of the process.
	// The table is never destroyed, so that the strings stay reachable.
	static std::mutex lock;
	static auto &constants = *new std::map<std::string, CFStringRef, std::less<>>;
	std::lock_guard<std::mutex> guard(lock);
	auto found = constants.find(std::string_view(cStr));
	if (found != constants.end())
		return found->second;
	if (!compat::is_valid_utf8(cStr))
		compat::misuse("CFSTR", "text that is not valid UTF-8");
	auto *s = new __CFString(cStr);
	s->immortal = true;
	constants.emplace(cStr, s);
	return s;
}

}  // extern "C"
