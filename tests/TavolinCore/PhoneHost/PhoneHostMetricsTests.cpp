// Frame rate, bit rate and latency of a phone broadcast, with time moved by hand.
#include <gtest/gtest.h>

#include "TavolinCore/PhoneHost/PhoneHostMetrics.hpp"
#include "tests/support/ManualClock.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

TEST(PhoneHostMetrics, RateAndBitRate_OverTheirWindowsAndNeverFromOneFrame) {
  testing::ManualClock clock;
  PhoneHostMetrics metrics;
  metrics.recordPhoneHostMetrics(clock.now(), 1000);
  EXPECT_EQ(metrics.phoneHostFramesPerSecond(clock.now()), std::nullopt);
  EXPECT_EQ(metrics.phoneHostBitrateKbps(clock.now()), std::nullopt);

  // 31 frames, 100 ms apart: the rate sees the last 2 s (21 frames, the oldest exactly at the
  // edge), the bit rate all 3 s.
  for (int i = 0; i < 30; ++i) {
    clock.advance(100ms);
    metrics.recordPhoneHostMetrics(clock.now(), 1000);
  }
  EXPECT_NEAR(*metrics.phoneHostFramesPerSecond(clock.now()), 10.0, 1e-9);
  EXPECT_NEAR(*metrics.phoneHostBitrateKbps(clock.now()), 31 * 8000 / 3.0 / 1000, 1e-9);

  // Two seconds of silence leave only the newest frame in the rate's window.
  clock.advance(2s);
  EXPECT_EQ(metrics.phoneHostFramesPerSecond(clock.now()), std::nullopt);
  EXPECT_NEAR(*metrics.phoneHostBitrateKbps(clock.now()), 31 * 8000 / 3.0 / 1000, 1e-9);
  clock.advance(1ms);
  EXPECT_NEAR(*metrics.phoneHostBitrateKbps(clock.now()), 30 * 8000 / 2.9 / 1000, 1e-9);
  clock.advance(3s);
  EXPECT_EQ(metrics.phoneHostBitrateKbps(clock.now()), std::nullopt);

  // Frames arriving in the same instant divide by a millisecond, not by zero.
  PhoneHostMetrics burst;
  burst.recordPhoneHostMetrics(clock.now(), 500);
  burst.recordPhoneHostMetrics(clock.now(), 500);
  EXPECT_NEAR(*burst.phoneHostFramesPerSecond(clock.now()), 1000.0, 1e-6);
  EXPECT_NEAR(*burst.phoneHostBitrateKbps(clock.now()), 8000.0, 1e-6);
}

TEST(PhoneHostMetrics, Latency_WholeMillisecondsNeverNegativeOnlyFromIso8601) {
  const Date receivedAt = *TavolinISO8601::date("2026-01-31T09:15:02.500Z");
  using Metrics = PhoneHostMetrics;
  EXPECT_EQ(Metrics::phoneHostLatencyMilliseconds("2026-01-31T09:15:02.2591Z", receivedAt), 240);
  EXPECT_EQ(Metrics::phoneHostLatencyMilliseconds("2026-01-31T11:15:02.400+02:00", receivedAt),
            100);
  EXPECT_EQ(Metrics::phoneHostLatencyMilliseconds("2026-01-31T09:15:03Z", receivedAt), 0);
  EXPECT_EQ(Metrics::phoneHostLatencyMilliseconds("yesterday", receivedAt), std::nullopt);
  EXPECT_EQ(Metrics::phoneHostLatencyMilliseconds("", receivedAt), std::nullopt);
  // Further back than 64-bit nanoseconds span from here: still a plain, positive figure.
  const auto ancient = Metrics::phoneHostLatencyMilliseconds("1700-01-01T00:00:00Z", receivedAt);
  ASSERT_TRUE(ancient);
  EXPECT_GT(*ancient, 10'000'000'000'000);
}

}  // namespace
}  // namespace tavolin
