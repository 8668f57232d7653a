// Numbers, booleans, dates and keyed-archiver references: the scalar values
// of property lists.  None has a public constructor here; the property-list
// readers make them.
#include "cf_types.h"

#include <limits>

namespace {

const __CFBoolean true_value(true);
const __CFBoolean false_value(false);

}  // namespace

namespace compat {

CFNumberRef make_signed(int64_t v)
{
	auto *n = cf_create<__CFNumber>(__CFNumber::Kind::Signed);
	if (n)
		n->i = v;
	return n;
}

CFNumberRef make_unsigned(uint64_t v)
{
	if (v <= uint64_t(std::numeric_limits<int64_t>::max()))
		return make_signed(int64_t(v));
	auto *n = cf_create<__CFNumber>(__CFNumber::Kind::Unsigned);
	if (n)
		n->u = v;
	return n;
}

CFNumberRef make_float(double v)
{
	auto *n = cf_create<__CFNumber>(__CFNumber::Kind::Float);
	if (n)
		n->d = v;
	return n;
}

CFTypeRef make_date(double at)
{
	return cf_create<__CFDate>(at);
}

CFTypeRef make_uid(uint32_t v)
{
	return cf_create<__CFKeyedArchiverUID>(v);
}

CFTypeRef boolean(bool v)
{
	return v ? &true_value : &false_value;
}

}  // namespace compat

extern "C" {

CFTypeID CFBooleanGetTypeID(void)
{
	return compat::kCFBooleanTypeID;
}

CFTypeID CFNumberGetTypeID(void)
{
	return compat::kCFNumberTypeID;
}

CFTypeID CFDateGetTypeID(void)
{
	return compat::kCFDateTypeID;
}

}  // extern "C"
