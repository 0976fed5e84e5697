#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/json/value.hpp>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

class JSONValue;

// Thrown when outside bytes are not the JSON a caller expects; the text names the field.
class JSONDecodingError : public TavolinError {
 public:
  using TavolinError::TavolinError;
};

// A JSON object that keeps its keys in insertion order, so that "keys in this order" holds on
// the wire. Equality ignores order, as for any map. Assigning an existing key keeps its place.
class JSONObject {
 public:
  using Entry = std::pair<std::string, JSONValue>;

  JSONObject() = default;
  JSONObject(std::initializer_list<Entry> entries);

  using const_iterator = std::vector<Entry>::const_iterator;

  // Defined below JSONValue, which must be complete first.
  const_iterator begin() const;
  const_iterator end() const;
  std::size_t size() const;
  bool empty() const;

  // The value for `key`, or nullptr.
  const JSONValue* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  void set(std::string key, JSONValue value);
  void erase(std::string_view key);

  friend bool operator==(const JSONObject& lhs, const JSONObject& rhs);

 private:
  std::vector<Entry> entries_;
};

using JSONArray = std::vector<JSONValue>;

// Any JSON value. Numbers are always doubles; booleans never pass as numbers.
class JSONValue {
 public:
  enum class Kind { string, number, boolean, object, array, null };

  JSONValue() : storage_(nullptr) {}
  JSONValue(std::nullptr_t) : storage_(nullptr) {}
  JSONValue(std::string value) : storage_(std::move(value)) {}
  JSONValue(std::string_view value) : storage_(std::string(value)) {}
  JSONValue(const char* value) : storage_(std::string(value)) {}
  JSONValue(bool value) : storage_(value) {}
  JSONValue(double value) : storage_(value) {}
  template <class Integer>
  requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) JSONValue(Integer value)
      : storage_(static_cast<double>(value)) {}
  JSONValue(JSONObject value) : storage_(std::move(value)) {}
  JSONValue(JSONArray value) : storage_(std::move(value)) {}

  static JSONValue strings(const std::vector<std::string>& values);

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool isNull() const { return kind() == Kind::null; }

  // The payload when the value is of that kind, else nullptr.
  const std::string* string() const { return std::get_if<std::string>(&storage_); }
  const double* number() const { return std::get_if<double>(&storage_); }
  const bool* boolean() const { return std::get_if<bool>(&storage_); }
  const JSONObject* object() const { return std::get_if<JSONObject>(&storage_); }
  const JSONArray* array() const { return std::get_if<JSONArray>(&storage_); }

  boost::json::value toBoost() const;
  // Throws JSONDecodingError for a number beyond the range of a double.
  static JSONValue fromBoost(const boost::json::value& value);

  std::string serialize() const;
  // Throws JSONDecodingError for text that is not one JSON value.
  static JSONValue parse(std::string_view text);

  friend bool operator==(const JSONValue&, const JSONValue&) = default;

 private:
  std::variant<std::string, double, bool, JSONObject, JSONArray, std::nullptr_t> storage_;
};

inline JSONObject::const_iterator JSONObject::begin() const {
  return entries_.begin();
}
inline JSONObject::const_iterator JSONObject::end() const {
  return entries_.end();
}
inline std::size_t JSONObject::size() const {
  return entries_.size();
}
inline bool JSONObject::empty() const {
  return entries_.empty();
}

// Integral doubles are written as JSON integers (1, not 1.0 or 1E0) so that other languages
// read them as the integers they are; others as the shortest double.
boost::json::value jsonNumber(double value);

// Parses outside bytes with a nesting limit; throws JSONDecodingError.
boost::json::value parseJSONText(std::string_view text);

}  // namespace tavolin
