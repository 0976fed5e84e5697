#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavolin {

// The STRING type of X selections and properties is ISO Latin-1.

std::string latin1ToUTF8(std::span<const std::uint8_t> latin1);

// Characters beyond U+00FF and invalid bytes become "?".
std::string utf8ToLatin1(std::string_view utf8);

}  // namespace tavolin
