#pragma once

// JSON text for files people read and diff: two-space indentation, "key": value, object keys
// sorted in byte order at every level, [] and {} for empty containers, no trailing newline.
// The text always parses: invalid UTF-8 in strings becomes U+FFFD, and a non-finite double
// (which JSON cannot express) becomes null. Recursion follows the nesting of the value.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/describe.hpp>
#include <boost/json/value.hpp>
#include <boost/mp11/algorithm.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"

namespace tavolin {

std::string prettyPrintedSortedJSON(const boost::json::value& value);

// The same text appended to `out`, so that a caller writing often can reuse one buffer.
void appendPrettyPrintedSortedJSON(std::string& out, const boost::json::value& value);

namespace pretty_json_detail {

void appendString(std::string& out, std::string_view text);
void appendInteger(std::string& out, std::int64_t value);
void appendNewline(std::string& out, std::size_t depth);
void appendValue(std::string& out, const boost::json::value& value, std::size_t depth);

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

// Records the generic codec encodes member by member; a type with its own JSONCoding is
// printed from what that coding produces.
template <class T>
concept FieldCoded = requires {
  typename JSONCoding<T>::Members;
}
&&std::is_same_v<typename JSONCoding<T>::Members,
                 boost::describe::describe_members<T, boost::describe::mod_public>>;

template <class T>
void append(std::string& out, const T& value, std::size_t depth);

// Member indices of T in byte order of their names, worked out once per type.
template <class T>
const auto& sortedMemberOrder() {
  using Members = boost::describe::describe_members<T, boost::describe::mod_public>;
  constexpr std::size_t count = boost::mp11::mp_size<Members>::value;
  static const std::array<std::size_t, count> order = [] {
    std::array<std::string_view, count> names{};
    boost::mp11::mp_for_each<boost::mp11::mp_iota_c<count>>(
        [&](auto index) { names[index] = boost::mp11::mp_at_c<Members, index>::name; });
    std::array<std::size_t, count> sorted{};
    std::iota(sorted.begin(), sorted.end(), std::size_t{0});
    std::sort(sorted.begin(), sorted.end(),
              [&](std::size_t lhs, std::size_t rhs) { return names[lhs] < names[rhs]; });
    return sorted;
  }();
  return order;
}

template <class T>
void appendRecord(std::string& out, const T& record, std::size_t depth) {
  using Members = boost::describe::describe_members<T, boost::describe::mod_public>;
  constexpr std::size_t count = boost::mp11::mp_size<Members>::value;
  bool empty = true;
  const auto appendMember = [&](std::string_view name, const auto& value) {
    out += empty ? '{' : ',';
    empty = false;
    appendNewline(out, depth + 1);
    appendString(out, name);
    out += ": ";
    append(out, value, depth + 1);
  };
  if constexpr (count > 0) {
    for (const std::size_t index : sortedMemberOrder<T>()) {
      boost::mp11::mp_with_index<count>(index, [&](auto member) {
        using Member = boost::mp11::mp_at_c<Members, member>;
        const auto& field = record.*Member::pointer;
        if constexpr (json_detail::IsOptional<std::remove_cvref_t<decltype(field)>>::value) {
          if (field)
            appendMember(Member::name, *field);
        } else {
          appendMember(Member::name, field);
        }
      });
    }
  }
  if (empty) {
    out += "{}";
    return;
  }
  appendNewline(out, depth);
  out += '}';
}

template <class T>
void append(std::string& out, const T& value, std::size_t depth) {
  if constexpr (std::is_same_v<T, std::string>) {
    appendString(out, value);
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    appendInteger(out, value);
  } else if constexpr (std::is_same_v<T, bool>) {
    out += value ? "true" : "false";
  } else if constexpr (IsVector<T>::value) {
    if (value.empty()) {
      out += "[]";
      return;
    }
    out += '[';
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i != 0)
        out += ',';
      appendNewline(out, depth + 1);
      append(out, value[i], depth + 1);
    }
    appendNewline(out, depth);
    out += ']';
  } else if constexpr (FieldCoded<T>) {
    appendRecord(out, value, depth);
  } else {
    appendValue(out, JSONCoding<T>::encode(value), depth);
  }
}

}  // namespace pretty_json_detail

// Records (and vectors of them) printed straight from their fields, with the text that
// toJSON(value) would give above, but without building the intermediate tree: for a log of
// thousands of records that tree is most of the cost.
template <class T>
requires(!std::is_convertible_v<const T&, boost::json::value>) void appendPrettyPrintedSortedJSON(
    std::string& out, const T& value) {
  pretty_json_detail::append(out, value, 0);
}

}  // namespace tavolin
