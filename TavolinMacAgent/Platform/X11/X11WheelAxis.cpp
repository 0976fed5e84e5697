#include "TavolinMacAgent/Platform/X11/X11WheelAxis.hpp"

#include <algorithm>

namespace tavolin {

int X11WheelAxis::clicks(std::int32_t pixels) {
  if (pixels == 0)
    return 0;
  if ((carried_ < 0 && pixels > 0) || (carried_ > 0 && pixels < 0))
    carried_ = 0;
  const std::int64_t total = carried_ + pixels;
  const std::int64_t whole = total / pixelsPerClick;
  if (whole > maxClicksPerDelta || whole < -maxClicksPerDelta) {
    carried_ = 0;
    return static_cast<int>(std::clamp(whole, -maxClicksPerDelta, maxClicksPerDelta));
  }
  carried_ = total - whole * pixelsPerClick;
  return static_cast<int>(whole);
}

}  // namespace tavolin
