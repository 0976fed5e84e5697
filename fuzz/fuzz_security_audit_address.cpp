// Normalises arbitrary peer-address text (X-Forwarded-For values, socket addresses). Whatever
// comes in, the result is lower-case and holds no list separator.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string normalized = tavolin::SecurityAuditStore::normalizedRemoteAddress(text);
  const bool upperCase = std::any_of(normalized.begin(), normalized.end(),
                                     [](char c) { return c >= 'A' && c <= 'Z'; });
  if (upperCase || normalized.find(',') != std::string::npos)
    std::abort();
  return 0;
}
