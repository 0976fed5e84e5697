#pragma once

#include <chrono>
#include <cstdint>

#include "TavolinCore/Runtime/Clock.hpp"

namespace tavolin::testing {

// A clock that moves only when the test says so. Starts at 2026-01-31T09:15:02Z with an uptime
// of one second; `advance` moves wall time and uptime together, the setters move one alone.
class ManualClock final : public Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static TimePoint defaultStart() {
    using namespace std::chrono;
    return sys_days{year{2026} / January / 31} + hours{9} + minutes{15} + seconds{2};
  }

  explicit ManualClock(TimePoint now = defaultStart(),
                       std::uint64_t uptimeNanoseconds = 1'000'000'000)
      : now_(now), uptime_(uptimeNanoseconds) {}

  TimePoint now() const override { return now_; }
  std::uint64_t uptimeNanoseconds() const override { return uptime_; }

  void setNow(TimePoint now) { now_ = now; }
  void setUptimeNanoseconds(std::uint64_t uptime) { uptime_ = uptime; }

  // `duration` must not be negative: uptime never runs backwards.
  template <class Rep, class Period>
  void advance(std::chrono::duration<Rep, Period> duration) {
    now_ += std::chrono::duration_cast<TimePoint::duration>(duration);
    uptime_ += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count());
  }

 private:
  TimePoint now_;
  std::uint64_t uptime_;
};

}  // namespace tavolin::testing
