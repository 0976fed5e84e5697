#pragma once

#include <cstdint>
#include <optional>

namespace tavolin {

// Thins a stream of frames to a maximum rate, judged by capture timestamps so the thinning stays
// even however late the frames are delivered. Timestamps must rise: an encoder cannot take a frame
// that is not newer than the one before, so those are refused with or without a limit. Not
// thread-safe.
class FrameRateLimiter {
 public:
  // Zero or less lifts the limit.
  void setMaxFramesPerSecond(int maxFramesPerSecond);

  // Whether the frame captured at `captureNs` goes on; records it when it does.
  bool admit(std::uint64_t captureNs);

 private:
  std::uint64_t intervalNs_ = 0;
  std::optional<std::uint64_t> lastAdmittedNs_;
  std::uint64_t nextDueNs_ = 0;
};

}  // namespace tavolin
