#pragma once

// One generic codec for every record: a record is a plain struct with one
// BOOST_DESCRIBE_STRUCT line, and its JSON is an object whose keys are the field names in
// declaration order. Absent optionals are omitted; required fields that are missing, null or of
// the wrong type fail the decode with an error naming the field; unknown keys are ignored.
// Types whose JSON is not field-shaped specialise JSONCoding<T>.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/describe.hpp>
#include <boost/json.hpp>
#include <boost/mp11/algorithm.hpp>
#include <boost/uuid/uuid.hpp>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

template <class T, class Enable = void>
struct JSONCoding;

namespace json_detail {

[[noreturn]] void throwTypeMismatch(std::string_view expected, std::string_view path);
[[noreturn]] void throwMissingField(std::string_view path);
std::string joinPath(std::string_view parent, std::string_view child);
std::string indexPath(std::string_view parent, std::size_t index);

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

}  // namespace json_detail

template <>
struct JSONCoding<std::string> {
  static boost::json::value encode(const std::string& value) { return boost::json::string(value); }
  static std::string decode(const boost::json::value& json, std::string_view path);
};

template <>
struct JSONCoding<bool> {
  static boost::json::value encode(bool value) { return value; }
  static bool decode(const boost::json::value& json, std::string_view path);
};

// Integers accept integral doubles (5.0) and reject fractions, booleans and out-of-range values.
template <>
struct JSONCoding<std::int64_t> {
  static boost::json::value encode(std::int64_t value) { return value; }
  static std::int64_t decode(const boost::json::value& json, std::string_view path);
};

// Monotonic clocks in nanoseconds; negative values fail, like fractions.
template <>
struct JSONCoding<std::uint64_t> {
  static boost::json::value encode(std::uint64_t value) { return value; }
  static std::uint64_t decode(const boost::json::value& json, std::string_view path);
};

template <>
struct JSONCoding<double> {
  static boost::json::value encode(double value) { return jsonNumber(value); }
  static double decode(const boost::json::value& json, std::string_view path);
};

// The 8-4-4-4-12 text: either case is read, upper case is written.
template <>
struct JSONCoding<boost::uuids::uuid> {
  static boost::json::value encode(const boost::uuids::uuid& value);
  static boost::uuids::uuid decode(const boost::json::value& json, std::string_view path);
};

template <>
struct JSONCoding<JSONValue> {
  static boost::json::value encode(const JSONValue& value) { return value.toBoost(); }
  static JSONValue decode(const boost::json::value& json, std::string_view) {
    return JSONValue::fromBoost(json);
  }
};

template <>
struct JSONCoding<JSONObject> {
  static boost::json::value encode(const JSONObject& value) { return JSONValue(value).toBoost(); }
  static JSONObject decode(const boost::json::value& json, std::string_view path);
};

template <class T>
struct JSONCoding<std::vector<T>> {
  static boost::json::value encode(const std::vector<T>& values) {
    boost::json::array out;
    out.reserve(values.size());
    for (const auto& value : values) {
      out.push_back(JSONCoding<T>::encode(value));
    }
    return out;
  }
  static std::vector<T> decode(const boost::json::value& json, std::string_view path) {
    const auto* array = json.if_array();
    if (array == nullptr)
      json_detail::throwTypeMismatch("an array", path);
    std::vector<T> out;
    out.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
      out.push_back(JSONCoding<T>::decode((*array)[i], json_detail::indexPath(path, i)));
    }
    return out;
  }
};

template <class T>
struct JSONCoding<std::map<std::string, T>> {
  static boost::json::value encode(const std::map<std::string, T>& values) {
    boost::json::object out;
    for (const auto& [key, value] : values) {
      out[key] = JSONCoding<T>::encode(value);
    }
    return out;
  }
  static std::map<std::string, T> decode(const boost::json::value& json, std::string_view path) {
    const auto* object = json.if_object();
    if (object == nullptr)
      json_detail::throwTypeMismatch("an object", path);
    std::map<std::string, T> out;
    for (const auto& entry : *object) {
      out.emplace(std::string(entry.key()),
                  JSONCoding<T>::decode(entry.value(), json_detail::joinPath(path, entry.key())));
    }
    return out;
  }
};

template <class T>
struct JSONCoding<T, std::enable_if_t<boost::describe::has_describe_members<T>::value>> {
  using Members = boost::describe::describe_members<T, boost::describe::mod_public>;

  static boost::json::value encode(const T& record) {
    boost::json::object out;
    boost::mp11::mp_for_each<Members>([&](auto member) {
      using Field = std::remove_cvref_t<decltype(record.*member.pointer)>;
      const auto& field = record.*member.pointer;
      if constexpr (json_detail::IsOptional<Field>::value) {
        if (field) {
          out[member.name] = JSONCoding<typename Field::value_type>::encode(*field);
        }
      } else {
        out[member.name] = JSONCoding<Field>::encode(field);
      }
    });
    return out;
  }

  static T decode(const boost::json::value& json, std::string_view path) {
    const auto* object = json.if_object();
    if (object == nullptr)
      json_detail::throwTypeMismatch("an object", path);
    T record{};
    boost::mp11::mp_for_each<Members>([&](auto member) {
      using Field = std::remove_cvref_t<decltype(record.*member.pointer)>;
      const std::string fieldPath = json_detail::joinPath(path, member.name);
      const auto* value = object->if_contains(member.name);
      const bool present = value != nullptr && !value->is_null();
      if constexpr (json_detail::IsOptional<Field>::value) {
        if (present) {
          record.*member.pointer =
              JSONCoding<typename Field::value_type>::decode(*value, fieldPath);
        }
      } else {
        if (!present)
          json_detail::throwMissingField(fieldPath);
        record.*member.pointer = JSONCoding<Field>::decode(*value, fieldPath);
      }
    });
    return record;
  }
};

template <class T>
boost::json::value toJSON(const T& value) {
  return JSONCoding<T>::encode(value);
}

template <class T>
T fromJSON(const boost::json::value& json) {
  return JSONCoding<T>::decode(json, "");
}

template <class T>
std::string encodeJSON(const T& value) {
  return boost::json::serialize(toJSON(value));
}

// Throws JSONDecodingError for bytes that are not JSON or not this record.
template <class T>
T decodeJSON(std::string_view text) {
  return fromJSON<T>(parseJSONText(text));
}

// Decodes a JSONValue (for instance a command payload) as a record.
template <class T>
T decodeJSONValue(const JSONValue& value) {
  return fromJSON<T>(value.toBoost());
}

}  // namespace tavolin
