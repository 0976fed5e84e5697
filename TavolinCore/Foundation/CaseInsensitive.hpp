#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace tavolin {

// Texts that compare without regard to case (names of applications, windows and desktop
// entries, header names, raw values, addresses) fold ASCII letters only; other characters
// compare by code point (UTF-8 byte order is code point order).
inline char foldedASCII(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII letters lower-cased; every other byte as it is.
inline std::string asciiLowercased(std::string_view text) {
  std::string folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), foldedASCII);
  return folded;
}

// Negative, zero or positive as `lhs` sorts before, with or after `rhs`.
inline int compareIgnoringCase(std::string_view lhs, std::string_view rhs) {
  const std::size_t common = std::min(lhs.size(), rhs.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto a = static_cast<unsigned char>(foldedASCII(lhs[i]));
    const auto b = static_cast<unsigned char>(foldedASCII(rhs[i]));
    if (a != b)
      return a < b ? -1 : 1;
  }
  return lhs.size() == rhs.size() ? 0 : (lhs.size() < rhs.size() ? -1 : 1);
}

inline bool equalsIgnoringCase(std::string_view lhs, std::string_view rhs) {
  return lhs.size() == rhs.size() && compareIgnoringCase(lhs, rhs) == 0;
}

}  // namespace tavolin
