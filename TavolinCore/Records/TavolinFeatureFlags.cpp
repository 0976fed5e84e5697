#include "TavolinCore/Records/TavolinFeatureFlags.hpp"

namespace tavolin::TavolinFeatureFlags {
namespace {

std::optional<bool> storedBoolean(const std::optional<JSONValue>& stored) {
  if (!stored)
    return std::nullopt;
  if (const bool* value = stored->boolean())
    return *value;
  if (const double* value = stored->number())
    return *value != 0;
  if (const std::string* value = stored->string())
    return parseBooleanWord(*value);
  return std::nullopt;
}

}  // namespace

bool phoneHostModeEnabled(const UserDefaults& defaults, const Environment& environment) {
  if (const auto text = environmentValue(environment, phoneHostModeEnvironmentKey)) {
    if (const auto value = parseBooleanWord(*text))
      return *value;
  }
  return storedBoolean(defaults.value(phoneHostModeDefaultsKey)).value_or(true);
}

}  // namespace tavolin::TavolinFeatureFlags
