// The object model behind the CoreFoundation subset.  Every CF type of the
// platform layer derives from CFObject; a CFTypeRef points at one.
//
// The programs that link the subset are single-threaded, and so is the
// subset: no locks, no atomic counts.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <cstdint>
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
	kCFKeyedArchiverUIDTypeID = 41,
	kCFDateTypeID = 42,
	kCFRunLoopTypeID = 43,
	kDASessionTypeID = 300,
	kDADiskTypeID = 301,
	kDADissenterTypeID = 302,
};

struct CFObject {
	explicit CFObject(CFTypeID id) : type_id(uint32_t(id)) {}
	virtual ~CFObject() = default;
	CFObject(const CFObject &) = delete;
	CFObject &operator=(const CFObject &) = delete;

	const uint32_t type_id;
	// Objects that live for the whole process (constants) count kImmortal
	// and are never freed.
	int32_t retain_count = 1;
	static constexpr int32_t kImmortal = -1;
	void make_immortal() { retain_count = kImmortal; }
};

// A new object with a retain count of 1, or null when memory runs out.
template <class T, class... Args> T *cf_create(Args &&...args) noexcept
{
	try {
		return new (std::nothrow) T(std::forward<Args>(args)...);
	} catch (const std::bad_alloc &) {
		return nullptr;  // a member's own allocation failed
	}
}

inline const CFObject *cf_object(CFTypeRef cf)
{
	return static_cast<const CFObject *>(cf);
}

}  // namespace compat
