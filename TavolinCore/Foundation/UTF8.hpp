#pragma once

#include <cstddef>
#include <string_view>

namespace tavolin {

// Strict UTF-8: overlong forms, surrogates and code points past U+10FFFF are rejected.
bool isValidUTF8(std::string_view text);

// The number of user-perceived characters: a base character with its combining marks, an emoji
// with its modifiers and ZWJ-joined parts, a flag's pair of regional indicators, a Hangul
// syllable's jamo and CR LF each count once. Close to extended grapheme clusters for the text
// people type, without a full Unicode property database. Each invalid byte counts as one.
std::size_t graphemeClusterCount(std::string_view text);

}  // namespace tavolin
