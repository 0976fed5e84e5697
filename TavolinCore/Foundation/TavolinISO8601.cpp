#include "TavolinCore/Foundation/TavolinISO8601.hpp"

#include <cstdio>

namespace tavolin::TavolinISO8601 {
namespace {

using namespace std::chrono;

// Reads exactly `count` digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t count) {
  if (pos + count > text.size()) {
    return std::nullopt;
  }
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

std::string string(Date date) {
  const auto milliseconds = floor<std::chrono::milliseconds>(date);
  const auto day = floor<days>(milliseconds);
  const year_month_day ymd{day};
  const hh_mm_ss time{milliseconds - day};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return buffer;
}

std::optional<Date> date(std::string_view text) {
  std::size_t pos = 0;
  const auto y = digits(text, pos, 4);
  if (!y || !expect(text, pos, '-'))
    return std::nullopt;
  const auto mo = digits(text, pos, 2);
  if (!mo || !expect(text, pos, '-'))
    return std::nullopt;
  const auto d = digits(text, pos, 2);
  if (!d || !expect(text, pos, 'T'))
    return std::nullopt;
  const auto h = digits(text, pos, 2);
  if (!h || !expect(text, pos, ':'))
    return std::nullopt;
  const auto mi = digits(text, pos, 2);
  if (!mi || !expect(text, pos, ':'))
    return std::nullopt;
  const auto s = digits(text, pos, 2);
  if (!s)
    return std::nullopt;

  nanoseconds fraction{0};
  if (expect(text, pos, '.')) {
    std::int64_t scale = 100'000'000;
    std::size_t count = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += nanoseconds{(text[pos] - '0') * scale};
      scale /= 10;
      ++pos;
      ++count;
    }
    if (count == 0)
      return std::nullopt;
  }

  minutes offset{0};
  if (expect(text, pos, 'Z')) {
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    const auto oh = digits(text, pos, 2);
    if (!oh || !expect(text, pos, ':'))
      return std::nullopt;
    const auto om = digits(text, pos, 2);
    if (!om || *oh > 23 || *om > 59)
      return std::nullopt;
    offset = minutes{sign * (*oh * 60 + *om)};
  } else {
    return std::nullopt;
  }
  if (pos != text.size())
    return std::nullopt;

  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59)
    return std::nullopt;
  const sys_seconds local = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s};
  // Dates count nanoseconds in 64 bits (about 1678 to 2261); beyond that they would overflow.
  constexpr auto kLimit = duration_cast<seconds>(Date::duration::max()) - days{1};
  if (local.time_since_epoch() > kLimit || local.time_since_epoch() < -kLimit) {
    return std::nullopt;
  }
  return time_point_cast<Date::duration>(local - offset) + fraction;
}

}  // namespace tavolin::TavolinISO8601
