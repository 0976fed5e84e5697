#include <cstdint>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/GStreamer/FrameRateLimiter.hpp"

namespace tavolin {
namespace {

constexpr std::uint64_t millisecond = 1'000'000;

// Frames at `framesPerSecond` for one second from `start`, each offset by `jitter(index)`.
template <class Jitter>
int admittedInOneSecond(FrameRateLimiter& limiter, int framesPerSecond, std::uint64_t start,
                        Jitter jitter) {
  int admitted = 0;
  for (int index = 0; index < framesPerSecond; ++index) {
    const std::uint64_t at = start + index * 1'000'000'000ULL / framesPerSecond + jitter(index);
    admitted += limiter.admit(at) ? 1 : 0;
  }
  return admitted;
}

TEST(FrameRateLimiterTests, Admit_RequiresRisingTimestampsWithOrWithoutALimit) {
  FrameRateLimiter limiter;
  EXPECT_TRUE(limiter.admit(1000));
  EXPECT_FALSE(limiter.admit(1000));
  EXPECT_FALSE(limiter.admit(999));
  EXPECT_TRUE(limiter.admit(1001));

  limiter.setMaxFramesPerSecond(30);
  EXPECT_FALSE(limiter.admit(1001));
  EXPECT_FALSE(limiter.admit(500));
}

TEST(FrameRateLimiterTests, Admit_ThinsEvenlyToTheLimitAndKeepsAJitteryStreamAtTheLimit) {
  FrameRateLimiter halving;
  halving.setMaxFramesPerSecond(30);
  EXPECT_EQ(admittedInOneSecond(halving, 60, 0, [](int) { return 0; }), 30);

  // Capture timestamps wobble by a couple of milliseconds around a 60 Hz display.
  FrameRateLimiter atLimit;
  atLimit.setMaxFramesPerSecond(60);
  const auto wobble = [](int index) { return (index % 3) * 2 * millisecond; };
  EXPECT_EQ(admittedInOneSecond(atLimit, 60, 5 * millisecond, wobble), 60);

  FrameRateLimiter unlimited;
  unlimited.setMaxFramesPerSecond(0);
  EXPECT_EQ(admittedInOneSecond(unlimited, 240, 0, [](int) { return 0; }), 240);
}

TEST(FrameRateLimiterTests, Admit_StartsAFreshScheduleAfterAPauseAndFollowsANewLimit) {
  FrameRateLimiter limiter;
  limiter.setMaxFramesPerSecond(10);
  EXPECT_TRUE(limiter.admit(0));
  EXPECT_FALSE(limiter.admit(50 * millisecond));
  // A second of nothing (a still screen), then frames again: the first goes at once and the
  // next only a full interval later, not in a burst to make up for the pause.
  EXPECT_TRUE(limiter.admit(1000 * millisecond));
  EXPECT_FALSE(limiter.admit(1050 * millisecond));
  EXPECT_TRUE(limiter.admit(1100 * millisecond));

  limiter.setMaxFramesPerSecond(2);
  EXPECT_FALSE(limiter.admit(1200 * millisecond));
  EXPECT_FALSE(limiter.admit(1400 * millisecond));
  EXPECT_TRUE(limiter.admit(1600 * millisecond));
}

}  // namespace
}  // namespace tavolin
