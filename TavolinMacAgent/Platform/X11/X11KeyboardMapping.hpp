#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "TavolinMacAgent/Platform/X11/X11KeySymbols.hpp"

namespace tavolin {

// The key press that produces a keysym: a keycode, with or without Shift held.
struct X11KeyStroke {
  std::uint8_t keycode = 0;
  bool shifted = false;
  bool operator==(const X11KeyStroke&) const = default;
};

// A copy of the server's core keyboard mapping (GetKeyboardMapping): `keysymsPerKeycode`
// keysyms for every keycode from `minKeycode` on; column 0 is the plain level of group 1,
// column 1 its shifted level. Plain data, not thread-safe.
class X11KeyboardMapping {
 public:
  using KeySym = X11KeySymbols::KeySym;

  X11KeyboardMapping(std::uint8_t minKeycode, std::uint8_t keysymsPerKeycode,
                     std::vector<KeySym> keysyms);

  std::uint8_t minKeycode() const { return minKeycode_; }
  std::uint8_t maxKeycode() const;
  std::uint8_t keysymsPerKeycode() const { return perKeycode_; }

  // NoSymbol outside the mapping.
  KeySym keysym(std::uint8_t keycode, int column) const;

  // The lowest keycode that types `keysym` in group 1, plain level before shifted.
  std::optional<X11KeyStroke> strokeFor(KeySym keysym) const;

  // Keycodes bound to nothing at any level: no key of the keyboard sends them, so they can be
  // borrowed for a keysym the layout lacks. Highest first, far from the real keys.
  std::vector<std::uint8_t> spareKeycodes() const;

  // Binds `keycode` to `keysym` at every level, so Shift, Caps Lock or the group do not change
  // what it types; NoSymbol unbinds it.
  void bind(std::uint8_t keycode, KeySym keysym);

  // The keysyms of keycodes `first` to `last`: the body of a ChangeKeyboardMapping request.
  std::vector<KeySym> rows(std::uint8_t first, std::uint8_t last) const;

 private:
  bool contains(std::uint8_t keycode) const;

  std::uint8_t minKeycode_;
  std::uint8_t perKeycode_;
  std::vector<KeySym> keysyms_;
};

}  // namespace tavolin
