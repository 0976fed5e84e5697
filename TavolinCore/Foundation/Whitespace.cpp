#include "TavolinCore/Foundation/Whitespace.hpp"

#include <array>

namespace tavolin {

namespace {

// The Unicode White_Space characters outside ASCII, in UTF-8.
constexpr std::array<std::string_view, 19> kNonASCIIWhitespace{
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

bool isASCIIWhitespace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Byte length of the white-space character at the start (or end) of `text`, 0 when none.
std::size_t whitespacePrefixLength(std::string_view text) {
  if (!text.empty() && isASCIIWhitespace(text.front()))
    return 1;
  for (const std::string_view character : kNonASCIIWhitespace) {
    if (text.starts_with(character))
      return character.size();
  }
  return 0;
}

std::size_t whitespaceSuffixLength(std::string_view text) {
  if (!text.empty() && isASCIIWhitespace(text.back()))
    return 1;
  for (const std::string_view character : kNonASCIIWhitespace) {
    if (text.ends_with(character))
      return character.size();
  }
  return 0;
}

}  // namespace

std::string_view trimmedWhitespaceAndNewlines(std::string_view text) {
  while (const std::size_t length = whitespacePrefixLength(text))
    text.remove_prefix(length);
  while (const std::size_t length = whitespaceSuffixLength(text))
    text.remove_suffix(length);
  return text;
}

}  // namespace tavolin
