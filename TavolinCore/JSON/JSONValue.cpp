#include "TavolinCore/JSON/JSONValue.hpp"

#include <algorithm>
#include <cmath>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace tavolin {

JSONObject::JSONObject(std::initializer_list<Entry> entries) {
  for (const auto& [key, value] : entries) {
    set(key, value);
  }
}

const JSONValue* JSONObject::find(std::string_view key) const {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.first == key; });
  return it == entries_.end() ? nullptr : &it->second;
}

void JSONObject::set(std::string key, JSONValue value) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.first == key; });
  if (it != entries_.end()) {
    it->second = std::move(value);
  } else {
    entries_.emplace_back(std::move(key), std::move(value));
  }
}

void JSONObject::erase(std::string_view key) {
  std::erase_if(entries_, [&](const Entry& entry) { return entry.first == key; });
}

bool operator==(const JSONObject& lhs, const JSONObject& rhs) {
  if (lhs.size() != rhs.size())
    return false;
  return std::all_of(lhs.begin(), lhs.end(), [&](const JSONObject::Entry& entry) {
    const JSONValue* other = rhs.find(entry.first);
    return other != nullptr && *other == entry.second;
  });
}

JSONValue JSONValue::strings(const std::vector<std::string>& values) {
  JSONArray array;
  array.reserve(values.size());
  for (const auto& value : values) {
    array.emplace_back(value);
  }
  return array;
}

boost::json::value jsonNumber(double value) {
  constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
  if (std::isfinite(value) && std::trunc(value) == value &&
      std::fabs(value) <= kExactIntegerLimit) {
    return static_cast<std::int64_t>(value);
  }
  if (!std::isfinite(value)) {
    return nullptr;  // JSON has no infinities or NaN.
  }
  return value;
}

boost::json::value JSONValue::toBoost() const {
  switch (kind()) {
    case Kind::string:
      return boost::json::string(*string());
    case Kind::number:
      return jsonNumber(*number());
    case Kind::boolean:
      return *boolean();
    case Kind::object: {
      boost::json::object out;
      out.reserve(object()->size());
      for (const auto& [key, value] : *object()) {
        out[key] = value.toBoost();
      }
      return out;
    }
    case Kind::array: {
      boost::json::array out;
      out.reserve(array()->size());
      for (const auto& value : *array()) {
        out.push_back(value.toBoost());
      }
      return out;
    }
    case Kind::null:
      break;
  }
  return nullptr;
}

JSONValue JSONValue::fromBoost(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
      return nullptr;
    case boost::json::kind::bool_:
      return value.get_bool();
    case boost::json::kind::int64:
      return static_cast<double>(value.get_int64());
    case boost::json::kind::uint64:
      return static_cast<double>(value.get_uint64());
    case boost::json::kind::double_:
      if (!std::isfinite(value.get_double())) {
        throw JSONDecodingError("A number is out of range.");
      }
      return value.get_double();
    case boost::json::kind::string:
      return std::string(value.get_string());
    case boost::json::kind::array: {
      JSONArray out;
      out.reserve(value.get_array().size());
      for (const auto& element : value.get_array()) {
        out.push_back(fromBoost(element));
      }
      return out;
    }
    case boost::json::kind::object: {
      JSONObject out;
      for (const auto& entry : value.get_object()) {
        out.set(std::string(entry.key()), fromBoost(entry.value()));
      }
      return out;
    }
  }
  return nullptr;
}

std::string JSONValue::serialize() const {
  return boost::json::serialize(toBoost());
}

JSONValue JSONValue::parse(std::string_view text) {
  return fromBoost(parseJSONText(text));
}

boost::json::value parseJSONText(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 64;
  boost::json::error_code error;
  auto value = boost::json::parse(text, error, {}, options);
  if (error) {
    throw JSONDecodingError("The data is not valid JSON: " + error.message() + ".");
  }
  return value;
}

}  // namespace tavolin
