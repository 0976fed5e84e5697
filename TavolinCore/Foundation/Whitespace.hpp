#pragma once

#include <string>
#include <string_view>

namespace tavolin {

// `text` without the white space and line breaks at either end: ASCII white space and the other
// Unicode White_Space characters (U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000) in UTF-8. Bytes that are not UTF-8 are kept.
std::string_view trimmedWhitespaceAndNewlines(std::string_view text);

}  // namespace tavolin
