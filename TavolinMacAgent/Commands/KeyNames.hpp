#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinMacAgent/Platform/InputEvents.hpp"

namespace tavolin::KeyNames {

// The key code of a key name: trimmed and lower-cased, looked up as it stands and then again
// without " ", "_" and "-" ("Page_Up" is "pageup"). Unknown names have no code.
std::optional<std::uint16_t> keyCode(std::string_view name);

// How many names the table knows.
std::size_t nameCount();

// OR of the named modifiers, compared lower-cased; unknown names are ignored.
ModifierFlags modifierFlags(const std::vector<std::string>& names);

// "right"/"secondary" and "middle"/"center"/"other" (any case); anything else is left.
MouseButton mouseButton(std::string_view name);
// The name results report: "left", "right" or "center".
std::string_view reportedName(MouseButton button);

}  // namespace tavolin::KeyNames
