#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tavolin {

using Date = std::chrono::system_clock::time_point;

// `to - from` in whole microseconds. Subtracting the dates themselves overflows when two parsed
// times lie far apart; microseconds span any two dates.
inline std::chrono::microseconds elapsedMicroseconds(Date from, Date to) {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  return duration_cast<microseconds>(to.time_since_epoch()) -
         duration_cast<microseconds>(from.time_since_epoch());
}

// The one timestamp format: ISO 8601 internet date-time in UTC, millisecond fractions.
namespace TavolinISO8601 {

// Always three fractional digits and a "Z" suffix, e.g. 2026-01-31T09:15:02.123Z.
std::string string(Date date);

// Accepts the form with fractional seconds and the form without; "Z" or a +hh:mm / -hh:mm
// offset. Anything else (including out-of-range fields) yields nothing.
std::optional<Date> date(std::string_view text);

}  // namespace TavolinISO8601
}  // namespace tavolin
