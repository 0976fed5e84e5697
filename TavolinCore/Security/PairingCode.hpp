#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavolin {

inline constexpr std::size_t pairingCodeDigits = 8;

// Eight decimal digits with leading zeros, every code equally likely, from the secure random
// source (CryptoError when it fails).
std::string makePairingCode();

bool isPairingCode(std::string_view text);

}  // namespace tavolin
