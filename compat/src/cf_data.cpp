// Immutable byte buffers.
#include "cf_types.h"

namespace compat {

CFDataRef make_data(std::string bytes)
{
	return cf_create<__CFData>(std::move(bytes));
}

}  // namespace compat

extern "C" {

CFTypeID CFDataGetTypeID(void)
{
	return compat::kCFDataTypeID;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8 *bytes, CFIndex length)
{
	if (length < 0 || (bytes == nullptr && length > 0))
		return nullptr;
	if (length == 0)
		return compat::make_data(std::string());
	try {
		return compat::make_data(std::string(reinterpret_cast<const char *>(bytes), size_t(length)));
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

CFIndex CFDataGetLength(CFDataRef theData)
{
	return CFIndex(compat::as_data(theData, "CFDataGetLength")->bytes.size());
}

const UInt8 *CFDataGetBytePtr(CFDataRef theData)
{
	return reinterpret_cast<const UInt8 *>(compat::as_data(theData, "CFDataGetBytePtr")->bytes.data());
}

}  // extern "C"
