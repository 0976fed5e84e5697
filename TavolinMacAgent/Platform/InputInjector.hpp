#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "TavolinMacAgent/Platform/Geometry.hpp"
#include "TavolinMacAgent/Platform/InputEvents.hpp"

namespace tavolin {

// Synthetic keyboard, pointer and scroll events posted into the desktop session as if they
// came from the hardware. Thread-safe: the main actor and the low-latency input queue both post
// without coordinating, and each call is atomic on its own. Every post returns false when the
// event could not be created or delivered.
class InputInjector {
 public:
  virtual ~InputInjector() = default;

  // Whether this process may post input at all (the accessibility permission). False while
  // the display is unreachable or lacks synthetic input.
  virtual bool isTrusted() = 0;

  // One key going down or up. `keyCode` is a code of the key-name table (KeyNames::keyCode).
  // The modifiers go down before the key event and up after it within this call, so the event
  // carries them and nothing stays held; a modifier key held on its own is a key like others.
  virtual bool postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) = 0;

  // Types `text` (valid UTF-8, any script) as key presses, whether or not the current layout
  // has keys for its characters.
  virtual bool typeText(std::string_view text) = 0;

  // A mouse event at `point`. `clickState` counts the clicks of a multi-click (1 for a single
  // click); the modifiers are held around a down or up event.
  virtual bool postMouse(MouseEventKind kind, MouseButton button, Point point,
                         ModifierFlags modifiers, int clickState) = 0;

  // A two-axis scroll in pixels at the cursor: positive `deltaY` scrolls up, positive `deltaX`
  // scrolls left (the wheel's own sign convention). A system with wheel clicks only turns the
  // pixels into clicks and carries the rest over to the next scroll.
  virtual bool postScroll(std::int32_t deltaX, std::int32_t deltaY) = 0;

  // The cursor position in global points; nothing when it cannot be read.
  virtual std::optional<Point> cursorPosition() = 0;

  // Moves the cursor to `point`.
  virtual bool warpCursor(Point point) = 0;
};

}  // namespace tavolin
