#pragma once

// The receive-side figures of a phone broadcast: frame rate, bit rate and latency, computed from
// the arrival times and sizes of recent frames. Times come from the caller, so the figures are a
// function of what was recorded and the `now` given.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"

namespace tavolin {

class PhoneHostMetrics {
 public:
  // Samples older than this, counted back from the newest arrival, are dropped.
  static constexpr std::chrono::seconds metricWindow{5};
  // The frame rate looks at this much of the recent past; the bit rate at `metricWindow`.
  static constexpr std::chrono::seconds frameRateWindow{2};

  void recordPhoneHostMetrics(Date receivedAt, std::int64_t byteLength);

  // Frames per second over the arrivals within `frameRateWindow` of `now`; nothing with fewer
  // than two.
  std::optional<double> phoneHostFramesPerSecond(Date now) const;
  // Kilobits per second over the arrivals within `metricWindow` of `now`; nothing with fewer
  // than two.
  std::optional<double> phoneHostBitrateKbps(Date now) const;

  // Whole milliseconds from capture to arrival, never negative; nothing when `capturedAt` is
  // not an ISO 8601 time.
  static std::optional<std::int64_t> phoneHostLatencyMilliseconds(std::string_view capturedAt,
                                                                  Date receivedAt);

 private:
  std::vector<Date> phoneHostFrameReceivedAt_;
  std::vector<std::pair<Date, std::int64_t>> phoneHostRecentBytes_;
};

}  // namespace tavolin
