#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace tavolin {

enum class TavolinDeviceRole { desktopHost, phoneHost, desktopController };

namespace TavolinDeviceRoles {

inline constexpr std::array<TavolinDeviceRole, 3> allCases{TavolinDeviceRole::desktopHost,
                                                           TavolinDeviceRole::phoneHost,
                                                           TavolinDeviceRole::desktopController};

std::string_view rawValue(TavolinDeviceRole role);
std::string_view displayTitle(TavolinDeviceRole role);
std::optional<TavolinDeviceRole> fromRawValue(std::string_view raw);

}  // namespace TavolinDeviceRoles
}  // namespace tavolin
