/*
 * CFDictionary for Linux: key-value collections, immutable or mutable.
 * Keys compare and hash with the key callbacks: with
 * kCFTypeDictionaryKeyCallBacks two strings are the same key when they hold
 * the same characters.
 */
#ifndef ARDOVA_COMPAT_CFDICTIONARY_H
#define ARDOVA_COMPAT_CFDICTIONARY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const void *(*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void *value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void *value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void *value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void *value1, const void *value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void *value);

typedef struct {
	CFIndex version;
	CFDictionaryRetainCallBack retain;
	CFDictionaryReleaseCallBack release;
	CFDictionaryCopyDescriptionCallBack copyDescription;
	CFDictionaryEqualCallBack equal;
	CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct {
	CFIndex version;
	CFDictionaryRetainCallBack retain;
	CFDictionaryReleaseCallBack release;
	CFDictionaryCopyDescriptionCallBack copyDescription;
	CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;

CFTypeID CFDictionaryGetTypeID(void);

/* NULL callbacks: keys and values are stored as they are, never retained,
 * and keys compare by identity.  A key given twice keeps its last value.
 * NULL when memory runs out. */
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void **keys, const void **values,
				   CFIndex numValues, const CFDictionaryKeyCallBacks *keyCallBacks,
				   const CFDictionaryValueCallBacks *valueCallBacks);

/* A mutable dictionary with the same entries and callbacks: the entries
 * are shared (retained), not copied.  capacity 0: no limit; a positive
 * capacity is the most entries it may hold, and adding a key beyond it
 * stops the program, as it does on the target.  NULL when capacity is
 * positive and smaller than the count of theDict, or memory runs out. */
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
						     CFDictionaryRef theDict);

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);

/* The keys and the values, each array of CFDictionaryGetCount entries (or
 * NULL, for none of that side), in one order for both: the nth value
 * belongs to the nth key.  The caller owns none of them. */
void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values);

/* Adds the key or replaces its value.  Only on a mutable dictionary.  The
 * first key added to a copy made by CFDictionaryCreateMutableCopy never
 * needs memory; if memory runs out for a later one, the dictionary is left
 * as it was. */
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value);

CF_EXTERN_C_END

#endif
