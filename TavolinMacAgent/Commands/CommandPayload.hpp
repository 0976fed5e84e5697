#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin::CommandPayload {

// An integer argument: a JSON number with its fraction dropped toward zero, or a string of
// decimal digits with an optional sign. Anything else, including a value beyond 64 bits, is
// absent.
std::optional<std::int64_t> integer(const JSONObject& payload, std::string_view key);

// A string argument; any other JSON type is absent.
const std::string* string(const JSONObject& payload, std::string_view key);

}  // namespace tavolin::CommandPayload
