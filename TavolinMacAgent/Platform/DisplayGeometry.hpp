#pragma once

#include <optional>

#include "TavolinMacAgent/Platform/Geometry.hpp"

namespace tavolin {

// Where the main display is. Callable from any thread; every call asks the display server
// afresh, so a resolution change shows at once.
class DisplayGeometry {
 public:
  virtual ~DisplayGeometry() = default;

  // The main display's rectangle in global points (the primary output, else the whole
  // screen); nothing when the display cannot be reached.
  virtual std::optional<Rect> mainDisplayBounds() = 0;

  // The main display's size in pixels; nothing when the display cannot be reached.
  virtual std::optional<PixelSize> mainDisplayPixelSize() = 0;
};

}  // namespace tavolin
