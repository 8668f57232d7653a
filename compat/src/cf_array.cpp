// Immutable arrays.
#include "cf_types.h"

namespace {

const void *retain_value(CFAllocatorRef, const void *value)
{
	return CFRetain(value);
}

void release_value(CFAllocatorRef, const void *value)
{
	CFRelease(value);
}

}  // namespace

__CFArray::~__CFArray()
{
	if (callbacks.release) {
		for (const void *v : values)
			callbacks.release(nullptr, v);
	}
}

extern "C" {

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retain_value, release_value, nullptr, nullptr};

CFTypeID CFArrayGetTypeID(void)
{
	return compat::kCFArrayTypeID;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void **values, CFIndex numValues, const CFArrayCallBacks *callBacks)
{
	if (numValues < 0 || (values == nullptr && numValues > 0))
		return nullptr;
	auto *array = compat::cf_create<__CFArray>();
	if (array == nullptr)
		return nullptr;
	array->values.reserve(size_t(numValues));
	for (CFIndex i = 0; i < numValues; i++) {
		const void *v = values[i];
		if (callBacks && callBacks->retain)
			v = callBacks->retain(nullptr, v);
		array->values.push_back(v);
	}
	// Set only now: the destructor releases what was retained.
	if (callBacks)
		array->callbacks = *callBacks;
	return array;
}

CFIndex CFArrayGetCount(CFArrayRef theArray)
{
	return CFIndex(compat::as_array(theArray, "CFArrayGetCount")->values.size());
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx)
{
	const auto &values = compat::as_array(theArray, "CFArrayGetValueAtIndex")->values;
	if (idx < 0 || size_t(idx) >= values.size())
		compat::misuse("CFArrayGetValueAtIndex", "an index out of range");
	return values[size_t(idx)];
}

}  // extern "C"
