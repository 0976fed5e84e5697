#pragma once

#include <optional>

#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"

namespace tavolin {

// A main display of a set size; `bounds` empty plays an unreachable display.
class FakeDisplayGeometry final : public DisplayGeometry {
 public:
  explicit FakeDisplayGeometry(std::optional<Rect> bounds = Rect{0, 0, 1920, 1080})
      : bounds(bounds) {}

  std::optional<Rect> mainDisplayBounds() override { return bounds; }
  std::optional<PixelSize> mainDisplayPixelSize() override {
    if (!bounds)
      return std::nullopt;
    return PixelSize{static_cast<int>(bounds->width), static_cast<int>(bounds->height)};
  }

  std::optional<Rect> bounds;
};

}  // namespace tavolin
