// What the CF types share: checked downcasts, value equality and hashing,
// and the key order of property-list writers.
#include "cf_types.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace compat {

void misuse(const char *caller, const char *what)
{
	fprintf(stderr, "%s called with %s\n", caller, what);
	abort();
}

namespace {

const CFObject *checked(CFTypeRef cf, CFTypeID id, const char *caller)
{
	if (cf == nullptr)
		misuse(caller, "NULL");
	const CFObject *obj = cf_object(cf);
	if (obj->type_id != id)
		misuse(caller, "an object of another type");
	return obj;
}

}  // namespace

const __CFString *as_string(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFString *>(checked(cf, kCFStringTypeID, caller));
}
const __CFData *as_data(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFData *>(checked(cf, kCFDataTypeID, caller));
}
const __CFNumber *as_number(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFNumber *>(checked(cf, kCFNumberTypeID, caller));
}
const __CFDate *as_date(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFDate *>(checked(cf, kCFDateTypeID, caller));
}
const __CFArray *as_array(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFArray *>(checked(cf, kCFArrayTypeID, caller));
}
__CFDictionary *as_dictionary(CFTypeRef cf, const char *caller)
{
	return const_cast<__CFDictionary *>(
		static_cast<const __CFDictionary *>(checked(cf, kCFDictionaryTypeID, caller)));
}
const __CFURL *as_url(CFTypeRef cf, const char *caller)
{
	return static_cast<const __CFURL *>(checked(cf, kCFURLTypeID, caller));
}

namespace {

double as_double(const __CFNumber *n)
{
	using Kind = __CFNumber::Kind;
	return n->kind == Kind::Float ? n->d : n->kind == Kind::Signed ? double(n->i) : double(n->u);
}

bool equal_numbers(const __CFNumber *a, const __CFNumber *b)
{
	using Kind = __CFNumber::Kind;
	if (a->kind == Kind::Float || b->kind == Kind::Float) {
		if (a->kind == b->kind)
			return a->d == b->d || (std::isnan(a->d) && std::isnan(b->d));
		return as_double(a) == as_double(b);
	}
	// Unsigned numbers are all above the signed range.
	return a->kind == b->kind && a->i == b->i && a->u == b->u;
}

bool equal_dictionaries(const __CFDictionary *a, const __CFDictionary *b)
{
	if (a->entries.size() != b->entries.size())
		return false;
	for (const auto &[key, value] : a->entries) {
		size_t at = b->find(key);
		if (at == __CFDictionary::npos || !equal(value, b->entries[at].second))
			return false;
	}
	return true;
}

}  // namespace

bool equal(CFTypeRef a, CFTypeRef b)
{
	if (a == b)
		return true;
	if (a == nullptr || b == nullptr)
		return false;
	const CFTypeID type = cf_object(a)->type_id;
	if (type != cf_object(b)->type_id)
		return false;
	switch (type) {
	case kCFStringTypeID:
		return as_string(a, "CFEqual")->utf8 == as_string(b, "CFEqual")->utf8;
	case kCFDataTypeID:
		return as_data(a, "CFEqual")->bytes == as_data(b, "CFEqual")->bytes;
	case kCFNumberTypeID:
		return equal_numbers(as_number(a, "CFEqual"), as_number(b, "CFEqual"));
	case kCFDateTypeID:
		return as_date(a, "CFEqual")->time == as_date(b, "CFEqual")->time;
	case kCFURLTypeID:
		return as_url(a, "CFEqual")->path == as_url(b, "CFEqual")->path;
	case kCFArrayTypeID: {
		const auto &va = as_array(a, "CFEqual")->values;
		const auto &vb = as_array(b, "CFEqual")->values;
		return std::equal(va.begin(), va.end(), vb.begin(), vb.end(), equal);
	}
	case kCFDictionaryTypeID:
		return equal_dictionaries(as_dictionary(a, "CFEqual"), as_dictionary(b, "CFEqual"));
	default:
		return false;  // booleans are two constants; other types by identity
	}
}

CFHashCode hash(CFTypeRef cf)
{
	if (cf == nullptr)
		return 0;
	switch (cf_object(cf)->type_id) {
	case kCFStringTypeID:
		return std::hash<std::string_view>{}(as_string(cf, "CFHash")->utf8);
	case kCFDataTypeID:
		return std::hash<std::string_view>{}(as_data(cf, "CFHash")->bytes);
	case kCFDateTypeID:
		return std::hash<double>{}(as_date(cf, "CFHash")->time);
	case kCFNumberTypeID: {
		// Equal numbers of different kinds must hash alike.
		double v = as_double(as_number(cf, "CFHash"));
		return std::isnan(v) ? 0 : std::hash<double>{}(v);
	}
	case kCFArrayTypeID:
		return as_array(cf, "CFHash")->values.size();
	case kCFDictionaryTypeID:
		return as_dictionary(cf, "CFHash")->entries.size();
	default:
		return std::hash<const void *>{}(cf);
	}
}

bool utf16_less(std::string_view a, std::string_view b)
{
	// UTF-8 bytes sort like code points.  UTF-16 differs only where a
	// character from U+E000 to U+FFFF (lead byte EE or EF) meets one above
	// U+FFFF (lead byte F0 to F4), which a surrogate pair puts first.
	const size_t n = std::min(a.size(), b.size());
	size_t i = 0;
	while (i < n && a[i] == b[i])
		i++;
	if (i == n)
		return a.size() < b.size();
	const auto ca = static_cast<unsigned char>(a[i]);
	const auto cb = static_cast<unsigned char>(b[i]);
	const bool a_high = ca == 0xEE || ca == 0xEF, b_high = cb == 0xEE || cb == 0xEF;
	if (a_high && cb >= 0xF0)
		return false;
	if (b_high && ca >= 0xF0)
		return true;
	return ca < cb;
}

}  // namespace compat
