#pragma once

#include <cstdint>

namespace tavolin {

// One scroll axis of pixel deltas turned into wheel clicks, which is all X has (buttons 4 to
// 7). A click is 50 pixels, about what browsers and toolkits scroll for one; the pixels short
// of a click are carried into the next delta of the same direction, so a stream of small
// trackpad deltas still scrolls, and dropped when the direction turns, so a reversal answers at
// once. One delta yields at most 100 clicks: a huge value scrolls far, but never posts
// millions of events. Plain logic, not thread-safe.
class X11WheelAxis {
 public:
  static constexpr std::int64_t pixelsPerClick = 50;
  static constexpr std::int64_t maxClicksPerDelta = 100;

  // The clicks for `pixels`, with its sign.
  int clicks(std::int32_t pixels);

 private:
  std::int64_t carried_ = 0;
};

}  // namespace tavolin
