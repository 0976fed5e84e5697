#include "TavolinMacAgent/Platform/GStreamer/FrameRateLimiter.hpp"

namespace tavolin {

void FrameRateLimiter::setMaxFramesPerSecond(int maxFramesPerSecond) {
  intervalNs_ = maxFramesPerSecond > 0 ? 1'000'000'000ULL / maxFramesPerSecond : 0;
  nextDueNs_ = lastAdmittedNs_ ? *lastAdmittedNs_ + intervalNs_ : 0;
}

bool FrameRateLimiter::admit(std::uint64_t captureNs) {
  if (lastAdmittedNs_ && captureNs <= *lastAdmittedNs_)
    return false;
  // Capture timestamps jitter around the source's own cadence; a frame a little early still
  // counts, or a source running exactly at the limit would lose every other frame.
  const std::uint64_t slack = intervalNs_ / 4;
  if (intervalNs_ != 0 && lastAdmittedNs_ && captureNs + slack < nextDueNs_)
    return false;
  // Keep to the schedule while frames come steadily; after a pause start a new one rather than
  // let a burst make up for the frames that never came.
  if (!lastAdmittedNs_ || captureNs >= nextDueNs_ + intervalNs_)
    nextDueNs_ = captureNs + intervalNs_;
  else
    nextDueNs_ += intervalNs_;
  lastAdmittedNs_ = captureNs;
  return true;
}

}  // namespace tavolin
