// The object model behind the CoreFoundation subset.  Every CF type of the
// platform layer derives from CFObject; a CFTypeRef points at one.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <atomic>
#include <new>
#include <utility>

namespace compat {

// Type identifiers; the numbers follow the target where it has them.
enum CFTypeIDs : CFTypeID {
	kCFStringTypeID = 7,
	kCFDictionaryTypeID = 18,
	kCFArrayTypeID = 19,
	kCFDataTypeID = 20,
	kCFBooleanTypeID = 21,
	kCFNumberTypeID = 22,
	kCFURLTypeID = 29,
	kCFDateTypeID = 42,
	kCFRunLoopTypeID = 43,
	kDASessionTypeID = 300,
	kDADiskTypeID = 301,
	kDADissenterTypeID = 302,
};

struct CFObject {
	explicit CFObject(CFTypeID id) : type_id(id) {}
	virtual ~CFObject() = default;
	CFObject(const CFObject &) = delete;
	CFObject &operator=(const CFObject &) = delete;

	const CFTypeID type_id;
	std::atomic<CFIndex> retain_count{1};
	// Objects that live for the whole process (constants) are never freed.
	bool immortal = false;
};

// A new object with a retain count of 1, or null when memory runs out.
template <class T, class... Args> T *cf_create(Args &&...args)
{
	return new (std::nothrow) T(std::forward<Args>(args)...);
}

inline const CFObject *cf_object(CFTypeRef cf)
{
	return static_cast<const CFObject *>(cf);
}

}  // namespace compat
