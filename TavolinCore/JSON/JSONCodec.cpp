#include "TavolinCore/JSON/JSONCodec.hpp"

#include <cmath>
#include <limits>

#include "TavolinCore/Foundation/Identifiers.hpp"

namespace tavolin {
namespace json_detail {

std::string joinPath(std::string_view parent, std::string_view child) {
  if (parent.empty())
    return std::string(child);
  std::string path(parent);
  path += '.';
  path += child;
  return path;
}

std::string indexPath(std::string_view parent, std::size_t index) {
  return std::string(parent) + "[" + std::to_string(index) + "]";
}

void throwTypeMismatch(std::string_view expected, std::string_view path) {
  const std::string where = path.empty() ? "the top level" : "'" + std::string(path) + "'";
  throw JSONDecodingError("Expected " + std::string(expected) + " at " + where + ".");
}

void throwMissingField(std::string_view path) {
  throw JSONDecodingError("The required field '" + std::string(path) + "' is missing.");
}

}  // namespace json_detail

std::string JSONCoding<std::string>::decode(const boost::json::value& json, std::string_view path) {
  const auto* string = json.if_string();
  if (string == nullptr)
    json_detail::throwTypeMismatch("a string", path);
  return std::string(*string);
}

boost::json::value JSONCoding<boost::uuids::uuid>::encode(const boost::uuids::uuid& value) {
  return boost::json::string(uuidString(value));
}

boost::uuids::uuid JSONCoding<boost::uuids::uuid>::decode(const boost::json::value& json,
                                                          std::string_view path) {
  const auto* string = json.if_string();
  const auto uuid =
      string ? uuidFromString(std::string_view(string->data(), string->size())) : std::nullopt;
  if (!uuid)
    json_detail::throwTypeMismatch("a UUID", path);
  return *uuid;
}

bool JSONCoding<bool>::decode(const boost::json::value& json, std::string_view path) {
  const auto* value = json.if_bool();
  if (value == nullptr)
    json_detail::throwTypeMismatch("a boolean", path);
  return *value;
}

std::int64_t JSONCoding<std::int64_t>::decode(const boost::json::value& json,
                                              std::string_view path) {
  if (const auto* value = json.if_int64())
    return *value;
  if (const auto* value = json.if_uint64()) {
    if (*value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(*value);
    }
  }
  if (const auto* value = json.if_double()) {
    // 2^63 itself is not representable, hence the strict upper bound.
    if (std::trunc(*value) == *value && *value >= -9223372036854775808.0 &&
        *value < 9223372036854775808.0) {
      return static_cast<std::int64_t>(*value);
    }
  }
  json_detail::throwTypeMismatch("an integer", path);
}

std::uint64_t JSONCoding<std::uint64_t>::decode(const boost::json::value& json,
                                                std::string_view path) {
  if (const auto* value = json.if_uint64())
    return *value;
  if (const auto* value = json.if_int64(); value && *value >= 0)
    return static_cast<std::uint64_t>(*value);
  if (const auto* value = json.if_double()) {
    if (std::trunc(*value) == *value && *value >= 0 && *value < 18446744073709551616.0)
      return static_cast<std::uint64_t>(*value);
  }
  json_detail::throwTypeMismatch("a non-negative integer", path);
}

double JSONCoding<double>::decode(const boost::json::value& json, std::string_view path) {
  if (const auto* value = json.if_double())
    return *value;
  if (const auto* value = json.if_int64())
    return static_cast<double>(*value);
  if (const auto* value = json.if_uint64())
    return static_cast<double>(*value);
  json_detail::throwTypeMismatch("a number", path);
}

JSONObject JSONCoding<JSONObject>::decode(const boost::json::value& json, std::string_view path) {
  if (!json.is_object())
    json_detail::throwTypeMismatch("an object", path);
  return *JSONValue::fromBoost(json).object();
}

}  // namespace tavolin
