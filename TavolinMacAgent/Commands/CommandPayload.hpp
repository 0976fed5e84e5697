#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin::CommandPayload {

// An integer argument: a JSON number with its fraction dropped toward zero, or a string of
// decimal digits with an optional sign. Anything else, including a value beyond 64 bits, is
// absent.
std::optional<std::int64_t> integer(const JSONObject& payload, std::string_view key);

// A coordinate or delta: a JSON number, or a string that is wholly a finite decimal number.
std::optional<double> real(const JSONObject& payload, std::string_view key);

// A string list: the string elements of a JSON array, in order, others skipped. Anything but
// an array is absent.
std::optional<std::vector<std::string>> stringList(const JSONObject& payload, std::string_view key);

// A string argument; any other JSON type is absent.
const std::string* string(const JSONObject& payload, std::string_view key);

}  // namespace tavolin::CommandPayload
