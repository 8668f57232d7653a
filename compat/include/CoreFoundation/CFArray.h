/* CFArray for Linux: immutable ordered collections. */
#ifndef ARDOVA_COMPAT_CFARRAY_H
#define ARDOVA_COMPAT_CFARRAY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const void *(*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void *value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void *value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void *value);
typedef Boolean (*CFArrayEqualCallBack)(const void *value1, const void *value2);

typedef struct {
	CFIndex version;
	CFArrayRetainCallBack retain;
	CFArrayReleaseCallBack release;
	CFArrayCopyDescriptionCallBack copyDescription;
	CFArrayEqualCallBack equal;
} CFArrayCallBacks;

/* Values are CF objects, retained while in the array. */
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

typedef const struct __CFArray *CFArrayRef;

CFTypeID CFArrayGetTypeID(void);

/* callBacks NULL: the values are stored as they are, never retained. */
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void **values, CFIndex numValues,
			 const CFArrayCallBacks *callBacks);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

CF_EXTERN_C_END

#endif
