// What the tests of the CoreFoundation subset share: owning references,
// byte buffers, and a compact notation of whole property lists, read
// through the subset's own types (the tools need no accessors, so the
// subset has none).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include "cf_types.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace cftest {

// Releases on scope exit; a null reference is fine.
struct Owned {
	CFTypeRef cf;
	explicit Owned(CFTypeRef r = nullptr) : cf(r) {}
	~Owned()
	{
		if (cf)
			CFRelease(cf);
	}
	Owned(const Owned &) = delete;
	Owned &operator=(const Owned &) = delete;
	template <class T> T as() const { return static_cast<T>(cf); }
};

inline CFStringRef str(const char *s)
{
	return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
}

inline std::string text(CFStringRef s)
{
	return s ? compat::as_string(s, "text")->utf8 : "<null>";
}

inline CFDataRef data(const std::string &bytes)
{
	return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()), CFIndex(bytes.size()));
}

inline std::string bytes_of(CFDataRef d)
{
	return std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(d)), size_t(CFDataGetLength(d)));
}

// A property list in a compact notation, to compare whole trees:
// {k=v;...} with keys sorted, (a,b), "s", i5, u18446744073709551615, r1.5,
// d<seconds>, <hex>, T, F, U<uid>.
inline std::string show(CFTypeRef cf)
{
	std::ostringstream o;
	switch (compat::cf_object(cf)->type_id) {
	case compat::kCFStringTypeID:
		o << '"' << text(static_cast<CFStringRef>(cf)) << '"';
		break;
	case compat::kCFBooleanTypeID:
		o << (static_cast<const __CFBoolean *>(cf)->value ? "T" : "F");
		break;
	case compat::kCFNumberTypeID: {
		const __CFNumber *n = compat::as_number(cf, "show");
		if (n->kind == __CFNumber::Kind::Float)
			o << 'r' << n->d;
		else if (n->kind == __CFNumber::Kind::Signed)
			o << 'i' << n->i;
		else
			o << 'u' << n->u;
		break;
	}
	case compat::kCFDateTypeID:
		o << 'd' << std::fixed << compat::as_date(cf, "show")->time;
		break;
	case compat::kCFKeyedArchiverUIDTypeID:
		o << 'U' << static_cast<const __CFKeyedArchiverUID *>(cf)->value;
		break;
	case compat::kCFDataTypeID:
		o << '<';
		for (unsigned char c : compat::as_data(cf, "show")->bytes) {
			char hex[3];
			snprintf(hex, sizeof hex, "%02x", c);
			o << hex;
		}
		o << '>';
		break;
	case compat::kCFArrayTypeID: {
		const auto &values = compat::as_array(cf, "show")->values;
		o << '(';
		for (size_t i = 0; i < values.size(); i++)
			o << (i ? "," : "") << show(values[i]);
		o << ')';
		break;
	}
	case compat::kCFDictionaryTypeID: {
		std::vector<std::pair<std::string, std::string>> entries;
		for (const auto &[key, value] : compat::as_dictionary(cf, "show")->entries)
			entries.emplace_back(show(key), show(value));
		std::sort(entries.begin(), entries.end());
		o << '{';
		for (const auto &[k, v] : entries) {
			// String keys without their quotes, as they mostly are.
			const bool quoted = k.size() >= 2 && k.front() == '"' && k.back() == '"';
			o << (quoted ? k.substr(1, k.size() - 2) : k) << '=' << v << ';';
		}
		o << '}';
		break;
	}
	default:
		o << "?" << CFGetTypeID(cf);
	}
	return o.str();
}

}  // namespace cftest
