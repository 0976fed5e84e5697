#pragma once

#include <cstdint>

namespace tavolin {

// The modifier keys held with an event, as bits.
using ModifierFlags = std::uint32_t;
namespace Modifier {
inline constexpr ModifierFlags command = 1u << 0;
inline constexpr ModifierFlags control = 1u << 1;
inline constexpr ModifierFlags option = 1u << 2;
inline constexpr ModifierFlags shift = 1u << 3;
inline constexpr ModifierFlags function = 1u << 4;
}  // namespace Modifier

enum class MouseButton { left, right, center };

enum class MouseEventKind { down, up, dragged, moved };

}  // namespace tavolin
