// The CoreFoundation types of the platform layer and the helpers they
// share.  Each struct is what a CF reference of its type points at.
//
// Nothing here lets an allocation failure escape to a caller of the C
// interface: the entry points catch std::bad_alloc and answer as the
// target does when memory runs out (NULL, or false).
#pragma once

#include "cf_object.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct __CFString : compat::CFObject {
	explicit __CFString(std::string text) : CFObject(compat::kCFStringTypeID), utf8(std::move(text)) {}
	const std::string utf8;  // always valid UTF-8 without NUL
};

struct __CFData : compat::CFObject {
	explicit __CFData(std::string data) : CFObject(compat::kCFDataTypeID), bytes(std::move(data)) {}
	// A std::string keeps a NUL after the bytes: a reader that wrongly
	// looks for one stops there rather than beyond the buffer.
	const std::string bytes;
};

struct __CFBoolean : compat::CFObject {
	explicit __CFBoolean(bool v) : CFObject(compat::kCFBooleanTypeID), value(v) { make_immortal(); }
	const bool value;
};

struct __CFNumber : compat::CFObject {
	enum class Kind { Signed, Unsigned, Float };
	__CFNumber(Kind k) : CFObject(compat::kCFNumberTypeID), kind(k) {}
	const Kind kind;
	int64_t i = 0;   // Signed
	uint64_t u = 0;  // Unsigned, always above INT64_MAX
	double d = 0;    // Float
};

struct __CFDate : compat::CFObject {
	explicit __CFDate(double at) : CFObject(compat::kCFDateTypeID), time(at) {}
	const double time;  // seconds since 2001-01-01 00:00:00 UTC
};

// A keyed archiver's reference to another object of its archive: what a
// binary property list's UID holds, and what the XML form writes as a
// dictionary with the single key "CF$UID".
struct __CFKeyedArchiverUID : compat::CFObject {
	explicit __CFKeyedArchiverUID(uint32_t v) : CFObject(compat::kCFKeyedArchiverUIDTypeID), value(v) {}
	const uint32_t value;
};

// Values are CF objects, each retained once by the array.
struct __CFArray : compat::CFObject {
	__CFArray() : CFObject(compat::kCFArrayTypeID) {}
	~__CFArray() override;
	std::vector<const void *> values;
};

// Entries are kept in the order they were added, so that walking a
// dictionary read from a file follows the file.  A dictionary of more than
// a few entries keeps an index: an open-addressing table of positions.
struct __CFDictionary : compat::CFObject {
	using Entry = std::pair<const void *, const void *>;

	__CFDictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
		       bool is_mutable, CFIndex capacity);
	~__CFDictionary() override;

	// The position of key, or npos.  Never allocates.
	size_t find(const void *key) const;
	// Room for n entries in all: adding entries up to n allocates nothing.
	// Throws std::bad_alloc and leaves the dictionary as it was.
	void reserve(size_t n);
	// Adds a key the caller knows is not there yet, without retaining it.
	// Throws std::bad_alloc and leaves the dictionary as it was.
	void append(const void *key, const void *value);

	const CFDictionaryKeyCallBacks key_callbacks;
	const CFDictionaryValueCallBacks value_callbacks;
	const bool is_mutable;
	const CFIndex capacity;  // 0: no limit
	std::vector<Entry> entries;

	static constexpr size_t npos = size_t(-1);

private:
	static constexpr size_t kScanLimit = 8;  // entries looked up without the index
	std::vector<uint32_t> slots;             // 0: empty; else position + 1

	size_t hash_of(const void *key) const;
	bool same(const void *a, const void *b) const;
	void index_to(std::vector<uint32_t> &table, size_t position) const;
};

struct __CFURL : compat::CFObject {
	__CFURL(std::string p, bool dir) : CFObject(compat::kCFURLTypeID), path(std::move(p)), directory(dir) {}
	const std::string path;  // absolute
	const bool directory;
};

namespace compat {

// Checked downcasts: a reference of the wrong type is a programming error
// and aborts, as a null one does.
const __CFString *as_string(CFTypeRef cf, const char *caller);
const __CFData *as_data(CFTypeRef cf, const char *caller);
const __CFNumber *as_number(CFTypeRef cf, const char *caller);
const __CFDate *as_date(CFTypeRef cf, const char *caller);
const __CFArray *as_array(CFTypeRef cf, const char *caller);
__CFDictionary *as_dictionary(CFTypeRef cf, const char *caller);
const __CFURL *as_url(CFTypeRef cf, const char *caller);
[[noreturn]] void misuse(const char *caller, const char *what);

// The length of the longest prefix of text that is valid UTF-8 (shortest
// forms, no surrogates, nothing above U+10FFFF).
size_t valid_utf8_prefix(std::string_view text);
inline bool is_valid_utf8(std::string_view text) { return valid_utf8_prefix(text) == text.size(); }

// New objects from values already checked; null when memory runs out.
CFStringRef make_string(std::string utf8);
CFStringRef make_string(std::string_view utf8);
CFDataRef make_data(std::string bytes);
CFNumberRef make_signed(int64_t v);
CFNumberRef make_unsigned(uint64_t v);
CFNumberRef make_float(double v);
CFTypeRef make_date(double at);
CFTypeRef make_uid(uint32_t v);
CFTypeRef boolean(bool v);  // one of the two immortal constants

// An empty dictionary with the kCFType callbacks.
__CFDictionary *new_dictionary(bool is_mutable) noexcept;
// Sets key to value, taking over the caller's reference to each: a key
// already there keeps its first object and gets the new value.  False when
// memory runs out; both references are released then.
bool dictionary_adopt(__CFDictionary *dict, const void *key, const void *value) noexcept;

// Value equality and hash of CF objects, as the kCFType callbacks use
// them: strings, numbers, booleans, dates and data by value, containers by
// their contents, other objects by identity.
bool equal(CFTypeRef a, CFTypeRef b);
CFHashCode hash(CFTypeRef cf);

// The order in which property-list writers sort dictionary keys: by UTF-16
// code units.
bool utf16_less(std::string_view a, std::string_view b);

}  // namespace compat
