#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace tavolin {

// An enumeration's cases with their raw values (the text stored or sent for them), in case order.
template <class Enum, std::size_t count>
using RawValueTable = std::array<std::pair<Enum, std::string_view>, count>;

// The raw value of a case; empty for a value outside the table.
template <class Enum, std::size_t count>
constexpr std::string_view rawValueIn(const RawValueTable<Enum, count>& table, Enum value) {
  for (const auto& [entry, raw] : table) {
    if (entry == value)
      return raw;
  }
  return {};
}

// The case whose raw value is exactly `raw`.
template <class Enum, std::size_t count>
constexpr std::optional<Enum> caseForRawValue(const RawValueTable<Enum, count>& table,
                                              std::string_view raw) {
  for (const auto& [entry, entryRaw] : table) {
    if (entryRaw == raw)
      return entry;
  }
  return std::nullopt;
}

// True when the table lists exactly `cases`, in that order.
template <class Enum, std::size_t count>
constexpr bool listsCases(const RawValueTable<Enum, count>& table,
                          const std::array<Enum, count>& cases) {
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i].first != cases[i])
      return false;
  }
  return true;
}

}  // namespace tavolin
