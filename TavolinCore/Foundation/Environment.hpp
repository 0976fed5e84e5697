#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tavolin {

// The process environment, read once at start-up and passed to whoever needs it.
using Environment = std::map<std::string, std::string, std::less<>>;

Environment currentProcessEnvironment();

// Trimmed and lower-cased: "1", "true", "yes", "on", "enabled" / "0", "false", "no", "off",
// "disabled". Anything else, the empty string included, is no value.
std::optional<bool> parseBooleanWord(std::string_view text);

// An optional sign and decimal digits, nothing else (no spaces); out of 64-bit range is no value.
std::optional<std::int64_t> parseInteger(std::string_view text);

// Integer variable: absent or unparsable gives `fallback`; the result is clamped to [min, max].
std::int64_t environmentInteger(const Environment& environment, std::string_view name,
                                std::int64_t fallback, std::int64_t min, std::int64_t max);

// Boolean variable: absent or unparsable gives `fallback`.
bool environmentBoolean(const Environment& environment, std::string_view name, bool fallback);

std::optional<std::string> environmentValue(const Environment& environment, std::string_view name);

}  // namespace tavolin
