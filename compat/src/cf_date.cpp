// Points in time, as seconds since 2001-01-01 00:00:00 UTC.
#include "cf_types.h"

extern "C" {

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;

CFTypeID CFDateGetTypeID(void)
{
	return compat::kCFDateTypeID;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
	return compat::cf_create<__CFDate>(at);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate)
{
	return compat::as_date(theDate, "CFDateGetAbsoluteTime")->time;
}

}  // extern "C"
