// Retain counting and type identifiers of the CoreFoundation subset.
#include "cf_object.h"

#include <cstdio>
#include <cstdlib>

using compat::CFObject;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

// The target crashes on a null reference; so do we, loudly.
static CFObject *checked(CFTypeRef cf, const char *caller)
{
	if (cf == nullptr) {
		fprintf(stderr, "%s called with NULL\n", caller);
		abort();
	}
	return const_cast<CFObject *>(compat::cf_object(cf));
}

CFTypeRef CFRetain(CFTypeRef cf)
{
	CFObject *obj = checked(cf, "CFRetain");
	if (!obj->immortal)
		obj->retain_count.fetch_add(1, std::memory_order_relaxed);
	return cf;
}

void CFRelease(CFTypeRef cf)
{
	CFObject *obj = checked(cf, "CFRelease");
	if (obj->immortal)
		return;
	if (obj->retain_count.fetch_sub(1, std::memory_order_acq_rel) == 1)
		delete obj;
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
	return checked(cf, "CFGetRetainCount")->retain_count.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
	return checked(cf, "CFGetTypeID")->type_id;
}

}  // extern "C"
