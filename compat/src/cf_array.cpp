// Immutable arrays of CF objects, made by the property-list readers.
#include "cf_types.h"

__CFArray::~__CFArray()
{
	for (const void *v : values)
		CFRelease(v);
}
