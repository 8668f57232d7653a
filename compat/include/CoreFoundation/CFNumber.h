/*
 * CFNumber and CFBoolean for Linux.  A number keeps the kind of value it was
 * made from: a signed 64-bit integer, an unsigned one above the signed
 * range (read from property lists), or a 64-bit float.
 */
#ifndef ARDOVA_COMPAT_CFNUMBER_H
#define ARDOVA_COMPAT_CFNUMBER_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFBoolean *CFBooleanRef;

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef CFIndex CFNumberType;

enum {
	kCFNumberSInt8Type = 1,
	kCFNumberSInt16Type = 2,
	kCFNumberSInt32Type = 3,
	kCFNumberSInt64Type = 4,
	kCFNumberFloat32Type = 5,
	kCFNumberFloat64Type = 6,
	kCFNumberCharType = 7,
	kCFNumberShortType = 8,
	kCFNumberIntType = 9,
	kCFNumberLongType = 10,
	kCFNumberLongLongType = 11,
	kCFNumberFloatType = 12,
	kCFNumberDoubleType = 13,
	kCFNumberCFIndexType = 14,
	kCFNumberNSIntegerType = 15,
	kCFNumberCGFloatType = 16,
	kCFNumberMaxType = 16
};

typedef const struct __CFNumber *CFNumberRef;

CFTypeID CFNumberGetTypeID(void);

/* A number from *valuePtr read as theType; NULL for an unknown type. */
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr);

/* kCFNumberSInt64Type for integers, kCFNumberFloat64Type for floats. */
CFNumberType CFNumberGetType(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);

/* Stores the value converted to theType; false when the conversion loses
 * information (the stored value is then the nearest one). */
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr);

CF_EXTERN_C_END

#endif
