#include "TavolinCore/Records/TavolinDeviceRole.hpp"

namespace tavolin::TavolinDeviceRoles {

std::string_view rawValue(TavolinDeviceRole role) {
  switch (role) {
    case TavolinDeviceRole::desktopHost:
      return "desktopHost";
    case TavolinDeviceRole::phoneHost:
      return "phoneHost";
    case TavolinDeviceRole::desktopController:
      return "desktopController";
  }
  return {};
}

std::string_view displayTitle(TavolinDeviceRole role) {
  switch (role) {
    case TavolinDeviceRole::desktopHost:
      return "Computer Host";
    case TavolinDeviceRole::phoneHost:
      return "iPhone Host";
    case TavolinDeviceRole::desktopController:
      return "Computer Controller";
  }
  return {};
}

std::optional<TavolinDeviceRole> fromRawValue(std::string_view raw) {
  for (const auto role : allCases) {
    if (rawValue(role) == raw)
      return role;
  }
  return std::nullopt;
}

}  // namespace tavolin::TavolinDeviceRoles
