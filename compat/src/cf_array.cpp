// Immutable arrays of CF objects, made by the property-list readers.
#include "cf_types.h"

__CFArray::~__CFArray()
{
	for (const void *v : values)
		CFRelease(v);
}

extern "C" {

CFTypeID CFArrayGetTypeID(void)
{
	return compat::kCFArrayTypeID;
}

CFIndex CFArrayGetCount(CFArrayRef theArray)
{
	return CFIndex(compat::as_array(theArray, "CFArrayGetCount")->values.size());
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx)
{
	const auto &values = compat::as_array(theArray, "CFArrayGetValueAtIndex")->values;
	if (idx < 0 || size_t(idx) >= values.size())
		compat::misuse("CFArrayGetValueAtIndex", "an index outside the array");
	return values[size_t(idx)];
}

}  // extern "C"
