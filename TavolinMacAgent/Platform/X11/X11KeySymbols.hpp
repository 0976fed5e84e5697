#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "TavolinMacAgent/Platform/InputEvents.hpp"

namespace tavolin::X11KeySymbols {

using KeySym = std::uint32_t;

inline constexpr KeySym noSymbol = 0;

// The X keysym of a key code of the key-name table (KeyNames::keyCode): the key in the same
// place on a PC keyboard ("command" is Super_L, "help" the Insert key that sits where the Mac's
// Help key does). Codes without a name have no keysym.
std::optional<KeySym> forKeyCode(std::uint16_t keyCode);

// The keysym that types `codePoint`: Latin-1 characters are their own keysyms, "\n" and "\r"
// are Return, "\t" is Tab, every other character is a Unicode keysym (0x01000000 + code
// point). Control characters with no key, surrogates and values past U+10FFFF have none.
std::optional<KeySym> forCodePoint(char32_t codePoint);

// The modifier keys held for `modifiers`, in the order they go down: command Super_L, control
// Control_L, option Alt_L, shift Shift_L. The function flag holds nothing: fn never reaches X
// clients, a PC keyboard resolves it in its own firmware.
std::vector<KeySym> forModifiers(ModifierFlags modifiers);

}  // namespace tavolin::X11KeySymbols
