#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/uuid/uuid.hpp>

namespace tavolin {

// A fixed prefix plus a random upper-case UUID, e.g. "local_session_3F2A...".
std::string makeIdentifier(std::string_view prefix);

// The 8-4-4-4-12 text in upper case, the form identifiers and records carry.
std::string uuidString(const boost::uuids::uuid& uuid);

// Only the 8-4-4-4-12 hexadecimal text, in either case; braces, missing hyphens or anything
// around it yield nothing.
std::optional<boost::uuids::uuid> uuidFromString(std::string_view text);

}  // namespace tavolin
