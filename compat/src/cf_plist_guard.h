// Checks that property-list bytes are sound before they reach libplist.
//
// libplist 2.2 recurses once per nesting level, expands every shared
// object of a binary property list into a copy of its own, reads values it
// does not understand as 0 or the epoch, and drops elements it does not
// expect.  What passes these checks it reads exactly; everything else is
// refused, with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace compat::plist_guard {

// Containers nested deeper than this are refused.
inline constexpr size_t kMaxDepth = 512;
// A binary property list may share objects, but its expanded tree holds at
// most this many values (or as many as the file has objects, if more).
inline constexpr uint64_t kMaxExpandedValues = uint64_t(1) << 22;

inline bool is_binary(std::string_view bytes)
{
	return bytes.substr(0, 8) == "bplist00";
}

// nullptr when the bytes may be parsed, else why not.
const char *check_xml(std::string_view bytes);
const char *check_binary(std::string_view bytes);

}  // namespace compat::plist_guard
