#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavolin::KeyNames {

// The key code of a key name: trimmed and lower-cased, looked up as it stands and then again
// without " ", "_" and "-" ("Page_Up" is "pageup"). Unknown names have no code.
std::optional<std::uint16_t> keyCode(std::string_view name);

// How many names the table knows.
std::size_t nameCount();

using ModifierFlags = std::uint32_t;
namespace Modifier {
inline constexpr ModifierFlags command = 1u << 0;
inline constexpr ModifierFlags control = 1u << 1;
inline constexpr ModifierFlags option = 1u << 2;
inline constexpr ModifierFlags shift = 1u << 3;
inline constexpr ModifierFlags function = 1u << 4;
}  // namespace Modifier

// OR of the named modifiers, compared lower-cased; unknown names are ignored.
ModifierFlags modifierFlags(const std::vector<std::string>& names);

enum class MouseButton { left, right, center };

// "right"/"secondary" and "middle"/"center"/"other" (any case); anything else is left.
MouseButton mouseButton(std::string_view name);
// The name results report: "left", "right" or "center".
std::string_view reportedName(MouseButton button);

}  // namespace tavolin::KeyNames
