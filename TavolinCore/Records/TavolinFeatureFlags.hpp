#pragma once

#include <string_view>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/UserDefaults.hpp"

namespace tavolin::TavolinFeatureFlags {

inline constexpr std::string_view phoneHostModeEnvironmentKey = "TAVOLIN_PHONE_HOST_MODE";
inline constexpr std::string_view phoneHostModeDefaultsKey = "tavolin.phoneHostMode.enabled";

// The environment wins when its value is a boolean word; then the stored default (a boolean,
// a number by its truth, or a boolean word); otherwise enabled.
bool phoneHostModeEnabled(const UserDefaults& defaults, const Environment& environment);

}  // namespace tavolin::TavolinFeatureFlags
