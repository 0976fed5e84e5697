#include "TavolinMacAgent/Streaming/ScreenCaptureClock.hpp"

#include "TavolinMacAgent/Streaming/ScreenCaptureTiming.hpp"

namespace tavolin {

ScreenCaptureClock ScreenCaptureClock::forFrame(std::optional<std::uint64_t> displayHostTicks,
                                                const Clock& clock) {
  const std::uint64_t uptimeNow = clock.uptimeNanoseconds();
  const Date now = clock.now();
  if (!displayHostTicks)
    return {uptimeNow, now};
  const std::uint64_t uptimeNs =
      ScreenCaptureTiming::machAbsoluteTimeToNanoseconds(*displayHostTicks);
  // Signed: a display time a hair ahead of "now" dates the frame a hair ahead too.
  const auto age = std::chrono::nanoseconds(static_cast<std::int64_t>(uptimeNow - uptimeNs));
  return {uptimeNs, now - std::chrono::duration_cast<Date::duration>(age)};
}

}  // namespace tavolin
