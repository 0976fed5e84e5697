#include "TavolinMacAgent/Commands/CommandPayload.hpp"

#include <charconv>
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

std::optional<double> real(const JSONObject& payload, std::string_view key) {
  const JSONValue* value = payload.find(key);
  if (value == nullptr)
    return std::nullopt;
  if (const double* number = value->number())
    return *number;
  const std::string* text = value->string();
  if (text == nullptr || text->empty())
    return std::nullopt;
  double parsed = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), parsed);
  if (error != std::errc{} || end != text->data() + text->size() || !std::isfinite(parsed)) {
    return std::nullopt;
  }
  return parsed;
}

std::optional<std::vector<std::string>> stringList(const JSONObject& payload,
                                                   std::string_view key) {
  const JSONValue* value = payload.find(key);
  if (value == nullptr || value->array() == nullptr)
    return std::nullopt;
  std::vector<std::string> strings;
  for (const JSONValue& element : *value->array()) {
    if (const std::string* text = element.string())
      strings.push_back(*text);
  }
  return strings;
}

const std::string* string(const JSONObject& payload, std::string_view key) {
  const JSONValue* value = payload.find(key);
  return value == nullptr ? nullptr : value->string();
}

}  // namespace tavolin::CommandPayload
