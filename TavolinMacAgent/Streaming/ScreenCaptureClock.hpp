#pragma once

#include <cstdint>
#include <optional>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/Clock.hpp"

namespace tavolin {

// When a captured frame was on screen, in the two clocks telemetry and packet headers carry:
// monotonic uptime and the wall-clock date of that same moment.
struct ScreenCaptureClock {
  std::uint64_t uptimeNs = 0;
  Date date{};

  // For a frame whose display time is `displayHostTicks` (host clock, see
  // ScreenCaptureTiming): the date is now back-dated by the frame's age. Without a display
  // time the frame counts as shown now. Callable from any thread.
  static ScreenCaptureClock forFrame(std::optional<std::uint64_t> displayHostTicks,
                                     const Clock& clock);

  bool operator==(const ScreenCaptureClock&) const = default;
};

}  // namespace tavolin
