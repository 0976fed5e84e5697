// Decodes arbitrary text as base64url. Whatever decodes must survive encode-then-decode, and
// the encoding must be the input itself once the alphabet and padding are normalised, apart
// from bits the last character carries beyond the final byte.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/Base64.hpp"

namespace {

int sextet(char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '-' || c == '+')
    return 62;
  if (c == '_' || c == '/')
    return 63;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<tavolin::Bytes> decoded = tavolin::base64URLDecode(text);
  if (!decoded) {
    return 0;
  }
  const std::string encoded = tavolin::base64URLEncode(*decoded);
  if (tavolin::base64URLDecode(encoded) != decoded) {
    std::abort();
  }

  std::string_view body = text;
  while (!body.empty() && body.back() == '=') {
    body.remove_suffix(1);
  }
  if (encoded.size() != body.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < body.size(); ++i) {
    const int expected = sextet(body[i]);
    const int actual = sextet(encoded[i]);
    if (expected < 0 || actual < 0) {
      std::abort();
    }
    // The last character of a 2- or 3-character tail has 4 or 2 unused low bits.
    const bool last = i + 1 == body.size();
    const int unused = !last ? 0 : body.size() % 4 == 2 ? 4 : body.size() % 4 == 3 ? 2 : 0;
    if ((expected >> unused) != (actual >> unused)) {
      std::abort();
    }
  }
  return 0;
}
