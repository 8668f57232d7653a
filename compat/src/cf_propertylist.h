// Property lists from bytes, for CFPropertyListCreateFromXMLData and its
// tests.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <string>
#include <string_view>

namespace compat {

// The property list in bytes (XML or binary form), or null with why set.
// Bytes too long for the parser's 32-bit length are refused unread.
CFPropertyListRef parse_property_list(std::string_view bytes, std::string &why);

}  // namespace compat
