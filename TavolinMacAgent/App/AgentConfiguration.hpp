#pragma once

#include <string>
#include <string_view>

#include "TavolinCore/Foundation/Environment.hpp"

namespace tavolin {

// The hosted control plane used when TAVOLIN_API_URL does not name another one.
inline constexpr std::string_view kHostedControlPlaneBaseURL = "https://api.tavolin.app";

// Whether `text` is an absolute http or https URL with a host: what the agent accepts for any
// address it is given in the environment.
bool isAbsoluteHTTPURL(std::string_view text);

// TAVOLIN_API_URL when it is an absolute http(s) URL with a host; otherwise, silently, the
// hosted base URL.
std::string chooseBaseURL(const Environment& environment);

}  // namespace tavolin
