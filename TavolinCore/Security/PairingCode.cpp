#include "TavolinCore/Security/PairingCode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "TavolinCore/Security/CryptoPrimitives.hpp"

namespace tavolin {

std::string makePairingCode() {
  constexpr std::uint32_t range = 100'000'000;
  // Draws at or above the largest multiple of the range below 2^32 are redrawn, so no code is
  // more likely than another.
  constexpr std::uint32_t acceptedBelow = UINT32_MAX - (UINT32_MAX % range);
  std::uint32_t draw = 0;
  do {
    std::array<std::uint8_t, sizeof draw> bytes{};
    fillSecureRandom(bytes);
    draw = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
  } while (draw >= acceptedBelow);
  std::string code = std::to_string(draw % range);
  code.insert(0, pairingCodeDigits - code.size(), '0');
  return code;
}

bool isPairingCode(std::string_view text) {
  return text.size() == pairingCodeDigits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace tavolin
