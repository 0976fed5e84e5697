#pragma once

#include <string>
#include <string_view>

namespace tavolin {

// A fixed prefix plus a random upper-case UUID, e.g. "local_session_3F2A...".
std::string makeIdentifier(std::string_view prefix);

}  // namespace tavolin
