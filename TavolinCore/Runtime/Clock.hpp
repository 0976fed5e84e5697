#pragma once

#include <chrono>
#include <cstdint>

namespace tavolin {

// Monotonic uptime in nanoseconds (CLOCK_MONOTONIC), the clock latency figures travel in.
std::uint64_t monotonicUptimeNanoseconds();

// Time as components see it; tests inject a manual clock to hit boundaries exactly.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;
  virtual std::uint64_t uptimeNanoseconds() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::now();
  }
  std::uint64_t uptimeNanoseconds() const override { return monotonicUptimeNanoseconds(); }
};

}  // namespace tavolin
