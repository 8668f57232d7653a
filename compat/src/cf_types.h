// The CoreFoundation types of the platform layer and the helpers they
// share.  Each struct is what a CF reference of its type points at.
#pragma once

#include "cf_object.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct __CFString : compat::CFObject {
	explicit __CFString(std::string text);
	const std::string utf8;  // always valid UTF-8 without NUL
	const CFIndex utf16_length;
};

struct __CFData : compat::CFObject {
	explicit __CFData(std::string data) : CFObject(compat::kCFDataTypeID), bytes(std::move(data)) {}
	// A std::string keeps a NUL after the bytes: a reader that wrongly
	// looks for one stops there rather than beyond the buffer.
	const std::string bytes;
};

struct __CFBoolean : compat::CFObject {
	explicit __CFBoolean(bool v) : CFObject(compat::kCFBooleanTypeID), value(v) { immortal = true; }
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
	const double time;
};

struct __CFArray : compat::CFObject {
	__CFArray() : CFObject(compat::kCFArrayTypeID) {}
	~__CFArray() override;
	CFArrayCallBacks callbacks{};
	std::vector<const void *> values;
};

namespace compat {

// A dictionary key as the key callbacks see it.
struct KeyHash {
	const CFDictionaryKeyCallBacks *cb;
	size_t operator()(const void *key) const;
};
struct KeyEqual {
	const CFDictionaryKeyCallBacks *cb;
	bool operator()(const void *a, const void *b) const;
};

}  // namespace compat

// Entries are kept in the order they were added, so that walking a
// dictionary read from a file follows the file.  Lookups scan the entries
// until the scanning has cost a few times the size of the dictionary; then
// a hash index is built once and kept.
struct __CFDictionary : compat::CFObject {
	using Entry = std::pair<const void *, const void *>;

	__CFDictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
		       bool is_mutable, CFIndex capacity);
	~__CFDictionary() override;

	// The position of key, or npos.
	size_t find(const void *key) const;
	// Adds a new key at the end; the caller knows it is not there yet.
	void append(const void *key, const void *value);
	void erase(size_t position);

	CFDictionaryKeyCallBacks key_callbacks;
	CFDictionaryValueCallBacks value_callbacks;
	const bool is_mutable;
	const CFIndex capacity;  // 0: no limit
	std::vector<Entry> entries;

	static constexpr size_t npos = size_t(-1);

private:
	// Lookups on an immutable dictionary may come from several threads.
	mutable std::mutex lookup_lock;
	mutable std::unordered_map<const void *, size_t, compat::KeyHash, compat::KeyEqual> index;
	mutable bool indexed = false;
	mutable size_t scanned = 0;
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
CFDataRef make_data(std::string bytes);
CFNumberRef make_signed(int64_t v);
CFNumberRef make_unsigned(uint64_t v);
CFNumberRef make_float(double v);

// Value equality and hash of CF objects, as the kCFType callbacks use
// them: strings, numbers, booleans, dates and data by value, containers by
// their contents.
bool equal(CFTypeRef a, CFTypeRef b);
CFHashCode hash(CFTypeRef cf);

// The order in which property-list writers sort dictionary keys: by UTF-16
// code units.
bool utf16_less(std::string_view a, std::string_view b);

}  // namespace compat
