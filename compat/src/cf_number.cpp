// Numbers and the two booleans.
#include "cf_types.h"

#include <cmath>
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

namespace {

bool is_float_type(CFNumberType type)
{
	return type == kCFNumberFloat32Type || type == kCFNumberFloat64Type || type == kCFNumberFloatType ||
	       type == kCFNumberDoubleType || type == kCFNumberCGFloatType;
}

// Bytes of the C type behind an integer CFNumberType; 0 for an unknown one.
size_t integer_size(CFNumberType type)
{
	switch (type) {
	case kCFNumberSInt8Type:
	case kCFNumberCharType:
		return 1;
	case kCFNumberSInt16Type:
	case kCFNumberShortType:
		return 2;
	case kCFNumberSInt32Type:
	case kCFNumberIntType:
		return 4;
	case kCFNumberSInt64Type:
	case kCFNumberLongLongType:
		return 8;
	case kCFNumberLongType:
	case kCFNumberCFIndexType:
	case kCFNumberNSIntegerType:
		return sizeof(long);
	default:
		return 0;
	}
}

template <class T> bool store_integer(int64_t v, void *out)
{
	T t = T(v);
	*static_cast<T *>(out) = t;
	return int64_t(t) == v;
}

bool store_signed(int64_t v, size_t size, void *out)
{
	switch (size) {
	case 1:
		return store_integer<int8_t>(v, out);
	case 2:
		return store_integer<int16_t>(v, out);
	case 4:
		return store_integer<int32_t>(v, out);
	default:
		return store_integer<int64_t>(v, out);
	}
}

}  // namespace
}  // namespace compat

using compat::as_number;

extern "C" {

const CFBooleanRef kCFBooleanTrue = &true_value;
const CFBooleanRef kCFBooleanFalse = &false_value;

CFTypeID CFBooleanGetTypeID(void)
{
	return compat::kCFBooleanTypeID;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean)
{
	if (boolean == nullptr || compat::cf_object(boolean)->type_id != compat::kCFBooleanTypeID)
		compat::misuse("CFBooleanGetValue", "something other than a boolean");
	return boolean->value;
}

CFTypeID CFNumberGetTypeID(void)
{
	return compat::kCFNumberTypeID;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void *valuePtr)
{
	if (valuePtr == nullptr)
		return nullptr;
	if (theType == kCFNumberFloat32Type || theType == kCFNumberFloatType)
		return compat::make_float(*static_cast<const float *>(valuePtr));
	if (compat::is_float_type(theType))
		return compat::make_float(*static_cast<const double *>(valuePtr));
	switch (compat::integer_size(theType)) {
	case 1:
		return compat::make_signed(*static_cast<const int8_t *>(valuePtr));
	case 2:
		return compat::make_signed(*static_cast<const int16_t *>(valuePtr));
	case 4:
		return compat::make_signed(*static_cast<const int32_t *>(valuePtr));
	case 8:
		return compat::make_signed(*static_cast<const int64_t *>(valuePtr));
	default:
		return nullptr;
	}
}

CFNumberType CFNumberGetType(CFNumberRef number)
{
	return as_number(number, "CFNumberGetType")->kind == __CFNumber::Kind::Float ? kCFNumberFloat64Type
										    : kCFNumberSInt64Type;
}

Boolean CFNumberIsFloatType(CFNumberRef number)
{
	return as_number(number, "CFNumberIsFloatType")->kind == __CFNumber::Kind::Float;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr)
{
	const __CFNumber *n = as_number(number, "CFNumberGetValue");
	if (valuePtr == nullptr)
		return false;
	if (compat::is_float_type(theType)) {
		double v = n->kind == __CFNumber::Kind::Float ? n->d
			   : n->kind == __CFNumber::Kind::Signed ? double(n->i)
								 : double(n->u);
		bool exact = n->kind == __CFNumber::Kind::Float ||
			     (n->kind == __CFNumber::Kind::Signed ? v < 0x1p63 && int64_t(v) == n->i
								   : v < 0x1p64 && uint64_t(v) == n->u);
		if (theType == kCFNumberFloat32Type || theType == kCFNumberFloatType) {
			float f = float(v);
			*static_cast<float *>(valuePtr) = f;
			return exact && (double(f) == v || std::isnan(v));
		}
		*static_cast<double *>(valuePtr) = v;
		return exact;
	}
	const size_t size = compat::integer_size(theType);
	if (size == 0)
		return false;
	switch (n->kind) {
	case __CFNumber::Kind::Signed:
		return compat::store_signed(n->i, size, valuePtr);
	case __CFNumber::Kind::Unsigned:
		compat::store_signed(int64_t(n->u), size, valuePtr);
		return false;
	case __CFNumber::Kind::Float: {
		double t = std::trunc(n->d);
		int64_t v = std::isnan(t) ? 0 : t >= 0x1p63 ? INT64_MAX : t < -0x1p63 ? INT64_MIN : int64_t(t);
		return compat::store_signed(v, size, valuePtr) && double(v) == n->d;
	}
	}
	return false;
}

}  // extern "C"
