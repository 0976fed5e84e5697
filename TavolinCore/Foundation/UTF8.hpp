#pragma once

#include <string_view>

namespace tavolin {

// Strict UTF-8: overlong forms, surrogates and code points past U+10FFFF are rejected.
bool isValidUTF8(std::string_view text);

}  // namespace tavolin
