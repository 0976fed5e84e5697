#include "TavolinMacAgent/Commands/CommandPayload.hpp"

#include <cmath>

#include "TavolinCore/Foundation/Environment.hpp"

namespace tavolin::CommandPayload {

std::optional<std::int64_t> integer(const JSONObject& payload, std::string_view key) {
  const JSONValue* value = payload.find(key);
  if (value == nullptr)
    return std::nullopt;
  if (const double* number = value->number()) {
    const double truncated = std::trunc(*number);
    // 2^63 is the first double past the range.
    if (truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0) {
      return static_cast<std::int64_t>(truncated);
    }
    return std::nullopt;
  }
  if (const std::string* text = value->string())
    return parseInteger(*text);
  return std::nullopt;
}

const std::string* string(const JSONObject& payload, std::string_view key) {
  const JSONValue* value = payload.find(key);
  return value == nullptr ? nullptr : value->string();
}

}  // namespace tavolin::CommandPayload
