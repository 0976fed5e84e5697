#include "TavolinCore/PhoneHost/PhoneHostMetrics.hpp"

#include <algorithm>

namespace tavolin {
namespace {

// The samples that fall inside one window.
struct WindowTotals {
  std::size_t count = 0;
  std::int64_t bytes = 0;
  Date oldest = Date::max();
  Date newest = Date::min();

  void add(Date time, std::int64_t byteLength) {
    ++count;
    bytes += byteLength;
    oldest = std::min(oldest, time);
    newest = std::max(newest, time);
  }

  // Frames that arrive within one clock tick still divide by something.
  double spanSeconds() const {
    return std::max(std::chrono::duration<double>(newest - oldest).count(), 0.001);
  }
};

}  // namespace

void PhoneHostMetrics::recordPhoneHostMetrics(Date receivedAt, std::int64_t byteLength) {
  phoneHostFrameReceivedAt_.push_back(receivedAt);
  phoneHostRecentBytes_.emplace_back(receivedAt, byteLength);
  const auto expired = [&](Date time) { return receivedAt - time > metricWindow; };
  std::erase_if(phoneHostFrameReceivedAt_, expired);
  std::erase_if(phoneHostRecentBytes_, [&](const auto& sample) { return expired(sample.first); });
}

std::optional<double> PhoneHostMetrics::phoneHostFramesPerSecond(Date now) const {
  WindowTotals totals;
  for (const Date time : phoneHostFrameReceivedAt_) {
    if (now - time <= frameRateWindow)
      totals.add(time, 0);
  }
  if (totals.count < 2)
    return std::nullopt;
  return static_cast<double>(totals.count - 1) / totals.spanSeconds();
}

std::optional<double> PhoneHostMetrics::phoneHostBitrateKbps(Date now) const {
  WindowTotals totals;
  for (const auto& [time, byteLength] : phoneHostRecentBytes_) {
    if (now - time <= metricWindow)
      totals.add(time, byteLength);
  }
  if (totals.count < 2)
    return std::nullopt;
  return static_cast<double>(totals.bytes) * 8 / totals.spanSeconds() / 1000;
}

std::optional<std::int64_t> PhoneHostMetrics::phoneHostLatencyMilliseconds(
    std::string_view capturedAt, Date receivedAt) {
  const auto captured = TavolinISO8601::date(capturedAt);
  if (!captured)
    return std::nullopt;
  const auto elapsed = elapsedMicroseconds(*captured, receivedAt);
  return std::max<std::int64_t>(0, elapsed.count() / 1000);
}

}  // namespace tavolin
