#pragma once

#include <string_view>

namespace tavolin {

// The page served at "/" of the local server.
std::string_view webConsolePage();

}  // namespace tavolin
