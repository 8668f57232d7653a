// Property lists: the readers of the binary, XML and old-style forms, the
// XML writer, and what they share.  Internal to the platform layer; the
// entry points are in cf_propertylist.cpp.
//
// Every reader refuses rather than guesses: what the platform's own reader
// would take differently from what the file says, or what would take
// unbounded memory or time to write back, is refused with the reason.
// Readers and the writer may throw std::bad_alloc; the entry points catch
// it.
#pragma once

#include "cf_types.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace compat {

// Data of this size or more is refused unread.
inline constexpr size_t kMaxBytes = size_t(1) << 31;
// Containers nested deeper than this are refused.
inline constexpr size_t kMaxDepth = 512;
// A binary property list may share objects, but its expanded tree (as the
// XML form writes it) holds at most this many values, or as many as the
// file has objects if that is more.
inline constexpr uint64_t kMaxExpandedValues = uint64_t(1) << 22;
// Dates further than this from 2001 (about 285 million years) have no
// whole second as a double; they are neither read nor written.
inline constexpr double kMaxDateSeconds = 9007199254740992.0;  // 2^53

// An object just made, or std::bad_alloc when it could not be.
inline CFTypeRef made(CFTypeRef cf)
{
	if (cf == nullptr)
		throw std::bad_alloc();
	return cf;
}

inline int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Appends the UTF-8 form of a code point.
void append_utf8(std::string &out, uint32_t cp);

// A reader's place in its text, and the first reason it failed.
struct TextReader {
	explicit TextReader(std::string_view text) : s(text) {}

	std::string_view s;
	size_t i = 0;
	const char *why = nullptr;

	CFTypeRef fail(const char *reason)
	{
		if (why == nullptr)
			why = reason;
		return nullptr;
	}
	bool starts(std::string_view t) const { return s.substr(i, t.size()) == t; }
};

struct Releaser {
	void operator()(const void *cf) const { CFRelease(cf); }
};
using Owned = std::unique_ptr<const void, Releaser>;

// The property list in bytes, in any form the platform reads, or null
// with why set to a static text.  Never throws.
CFPropertyListRef parse_property_list(std::string_view bytes, const char *&why);

// Each reader gives the property list, or null with why set to a static
// text.  read_xml and read_openstep take text already decoded to UTF-8.
// read_binary sets is_binary to whether the platform would take the bytes
// for the binary form (signature and trailer); when it would not, nothing
// more is read.
CFTypeRef read_binary(std::string_view bytes, bool &is_binary, const char *&why);
CFTypeRef read_xml(std::string_view utf8, const char *&why);
CFTypeRef read_openstep(std::string_view utf8, const char *&why);

// The text of an XML or old-style property list as UTF-8, by the XML
// form's rules: a byte-order mark, else the encoding the XML declaration
// names, else UTF-8.  Converted text goes to storage and utf8 points into
// it; UTF-8 input is not copied.  False with why set when the encoding is
// unknown or the bytes are not valid in it.
bool decode_text(std::string_view bytes, std::string &storage, std::string_view &utf8, const char *&why);

// Seconds from 1970-01-01 to 2001-01-01, the origin of CF's dates.
inline constexpr int64_t kSecondsFrom1970To2001 = 978307200;

// The platform's XML form of plist; false with why set when it holds
// something that form cannot carry.
bool write_xml(CFTypeRef plist, std::string &out, const char *&why);

}  // namespace compat
