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
	if (obj->retain_count != CFObject::kImmortal)
		obj->retain_count++;
	return cf;
}

void CFRelease(CFTypeRef cf)
{
	CFObject *obj = checked(cf, "CFRelease");
	if (obj->retain_count != CFObject::kImmortal && --obj->retain_count == 0)
		delete obj;
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
	return checked(cf, "CFGetRetainCount")->retain_count;
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
	return checked(cf, "CFGetTypeID")->type_id;
}

}  // extern "C"
