#include "TavolinCore/Records/TavolinDeviceRole.hpp"

#include "TavolinCore/Foundation/RawValues.hpp"

namespace tavolin::TavolinDeviceRoles {

constexpr RawValueTable<TavolinDeviceRole, 3> rawValues{{
    {TavolinDeviceRole::desktopHost, "desktopHost"},
    {TavolinDeviceRole::phoneHost, "phoneHost"},
    {TavolinDeviceRole::desktopController, "desktopController"},
}};
static_assert(listsCases(rawValues, allCases));

std::string_view rawValue(TavolinDeviceRole role) {
  return rawValueIn(rawValues, role);
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
  return caseForRawValue(rawValues, raw);
}

}  // namespace tavolin::TavolinDeviceRoles
