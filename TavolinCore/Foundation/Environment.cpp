#include "TavolinCore/Foundation/Environment.hpp"

#include <algorithm>
#include <charconv>

#include <unistd.h>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

extern char** environ;

namespace tavolin {

Environment currentProcessEnvironment() {
  Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string_view::npos) {
      environment.emplace(std::string(text.substr(0, equals)),
                          std::string(text.substr(equals + 1)));
    }
  }
  return environment;
}

std::optional<bool> parseBooleanWord(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);
  const std::string word = asciiLowercased(text);
  for (const char* yes : {"1", "true", "yes", "on", "enabled"}) {
    if (word == yes)
      return true;
  }
  for (const char* no : {"0", "false", "no", "off", "disabled"}) {
    if (word == no)
      return false;
  }
  return std::nullopt;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-')
      return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> environmentValue(const Environment& environment, std::string_view name) {
  const auto it = environment.find(name);
  if (it == environment.end())
    return std::nullopt;
  return it->second;
}

std::int64_t environmentInteger(const Environment& environment, std::string_view name,
                                std::int64_t fallback, std::int64_t min, std::int64_t max) {
  std::int64_t value = fallback;
  if (const auto text = environmentValue(environment, name)) {
    value = parseInteger(*text).value_or(fallback);
  }
  return std::clamp(value, min, max);
}

bool environmentBoolean(const Environment& environment, std::string_view name, bool fallback) {
  if (const auto text = environmentValue(environment, name)) {
    return parseBooleanWord(*text).value_or(fallback);
  }
  return fallback;
}

}  // namespace tavolin
