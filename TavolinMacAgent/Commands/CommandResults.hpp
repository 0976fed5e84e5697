#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "TavolinCore/Records/Records.hpp"

namespace tavolin::CommandResults {

inline constexpr std::string_view succeededStatus = "succeeded";
inline constexpr std::string_view failedStatus = "failed";

CompleteCommandPayload succeeded(JSONObject result = {});

// `reason` is the snake_case code controllers act on; it comes first in the result, `extra`
// entries follow it.
CompleteCommandPayload failed(std::string_view reason, JSONObject extra = {});

// The text a failure result carries for an exception: the description of the system's own
// errors, else what().
std::string errorDescription(const std::exception& error);

}  // namespace tavolin::CommandResults
