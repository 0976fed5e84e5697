#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "TavolinMacAgent/Platform/Geometry.hpp"

namespace tavolin {

struct RGBColor {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const RGBColor&) const = default;
};

// What the scroll surface shows: square tiles whose colours repeat along each diagonal, with
// the middle of the surface in the middle of a tile. A wheel step moves the content by one
// tile, so the colour under the centre changes with every step, vertical or horizontal, and
// two opposite steps bring it back. Columns and rows count from the centre tile, plus the
// scrolled distance in tiles.
struct ScrollSurfacePattern {
  static constexpr int tileSize = 64;
  static constexpr std::array<RGBColor, 4> palette{
      {{230, 40, 40}, {40, 90, 230}, {240, 200, 30}, {30, 200, 200}}};

  static std::size_t colorIndex(int column, int row) {
    constexpr int count = static_cast<int>(palette.size());
    return static_cast<std::size_t>(((column + row) % count + count) % count);
  }
  static RGBColor color(int column, int row) { return palette[colorIndex(column, row)]; }

  static RGBColor initialCenterColor() { return color(0, 0); }
};

// Windows drawn over everything else for latency measurements: a flash square of one colour,
// and the scroll surface, which follows wheel input (buttons 4/5 scroll it vertically, 6/7
// horizontally). Each is shown at most once: showing again replaces it, and the scroll
// surface starts unscrolled.
//
// Called from the main actor. A show returns once the display server has drawn the window,
// so a time taken afterwards is when it became visible; false when nothing could be shown.
class BenchmarkSurfaces {
 public:
  virtual ~BenchmarkSurfaces() = default;

  virtual bool showFlash(const Rect& square, RGBColor color) = 0;
  virtual void hideFlash() = 0;

  virtual bool showScrollSurface(const Rect& area) = 0;
  virtual void hideScrollSurface() = 0;
};

}  // namespace tavolin
