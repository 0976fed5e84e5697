#include <limits>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Streaming/ScreenCaptureClock.hpp"
#include "TavolinMacAgent/Streaming/ScreenCaptureTiming.hpp"
#include "tests/support/ManualClock.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using ScreenCaptureTiming::machAbsoluteTimeToNanoseconds;

TEST(ScreenCaptureTiming, HostTicks_ConvertWithRoundingAndWithoutOverflow) {
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(3, {125, 3}), 125u);
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(0, {125, 3}), 0u);
  // A zero denominator means "no timebase": ticks pass through.
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(12345, {125, 0}), 12345u);
  // Halves round up, less than half rounds down.
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(1, {1, 2}), 1u);
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(1, {1, 3}), 0u);
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(2, {1, 3}), 1u);
  // ticks × numerator leaves 64 bits here, the result does not.
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(300'000'000'000'000'000u, {125, 3}),
            12'500'000'000'000'000'000u);
  // A result beyond 64 bits saturates instead of wrapping.
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(kMax, {2, 1}), kMax);
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(kMax, {1, 1}), kMax);
  // This host counts CLOCK_MONOTONIC nanoseconds.
  EXPECT_EQ(machAbsoluteTimeToNanoseconds(987'654'321), 987'654'321u);
}

TEST(ScreenCaptureClock, DisplayTime_BackDatesTheWallClock) {
  testing::ManualClock clock;
  clock.setUptimeNanoseconds(10'000'000'000);
  const Date now = clock.now();

  EXPECT_EQ(ScreenCaptureClock::forFrame(std::nullopt, clock),
            (ScreenCaptureClock{10'000'000'000, now}));
  EXPECT_EQ(ScreenCaptureClock::forFrame(9'975'000'000, clock),
            (ScreenCaptureClock{9'975'000'000, now - 25ms}));
  // A display time just ahead of the clock dates the frame ahead, not decades back.
  EXPECT_EQ(ScreenCaptureClock::forFrame(10'002'000'000, clock),
            (ScreenCaptureClock{10'002'000'000, now + 2ms}));
}

}  // namespace
}  // namespace tavolin
