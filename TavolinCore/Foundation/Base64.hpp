#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolin {

using Bytes = std::vector<std::uint8_t>;

// Standard Base64 with "=" padding.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict standard Base64: the length must be a multiple of 4, padding only at the end, no
// white space. Anything else yields nothing.
std::optional<Bytes> base64Decode(std::string_view text);

// Base64 with "-" and "_" for "+" and "/", and no "=".
std::string base64URLEncode(std::span<const std::uint8_t> bytes);

// Reverses the alphabet, pads with "=" to a multiple of 4 and decodes as standard Base64.
// Padded input and the standard alphabet are accepted too; a length of 4n+1 never decodes.
std::optional<Bytes> base64URLDecode(std::string_view text);

inline std::span<const std::uint8_t> byteSpan(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string bytesToString(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace tavolin
