#include "TavolinMacAgent/Platform/X11/X11Latin1.hpp"

namespace tavolin {

std::string latin1ToUTF8(std::span<const std::uint8_t> latin1) {
  std::string result;
  result.reserve(latin1.size());
  for (std::uint8_t byte : latin1) {
    if (byte < 0x80) {
      result.push_back(static_cast<char>(byte));
    } else {
      result.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      result.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return result;
}

std::string utf8ToLatin1(std::string_view utf8) {
  std::string result;
  result.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    if (lead < 0x80) {
      result.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Two-byte forms C2 80 .. C3 BF are exactly U+0080 .. U+00FF.
    if ((lead == 0xC2 || lead == 0xC3) && i + 1 < utf8.size() &&
        (static_cast<std::uint8_t>(utf8[i + 1]) & 0xC0) == 0x80) {
      result.push_back(static_cast<char>(((lead & 0x03) << 6) |
                                         (static_cast<std::uint8_t>(utf8[i + 1]) & 0x3F)));
      i += 2;
      continue;
    }
    // Anything else is one character that Latin-1 lacks: skip its continuation bytes.
    result.push_back('?');
    ++i;
    if (lead >= 0xC0) {
      while (i < utf8.size() && (static_cast<std::uint8_t>(utf8[i]) & 0xC0) == 0x80)
        ++i;
    }
  }
  return result;
}

}  // namespace tavolin
