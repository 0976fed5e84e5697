#pragma once

#include <cstdint>

namespace tavolin {

// Ratio that turns host clock ticks into nanoseconds.
struct HostTimebase {
  std::uint32_t numerator = 1;
  std::uint32_t denominator = 1;
};

// Converts capture timestamps from host clock ticks to nanoseconds. On Linux the host clock is
// CLOCK_MONOTONIC, already in nanoseconds (timebase 1/1); the ratio stays so that a platform
// with a tick clock plugs in here. Pure functions, callable from any thread.
namespace ScreenCaptureTiming {

// The host timebase, read once per process.
HostTimebase hostTimebase();

// round(ticks × numerator / denominator), saturated to 64 bits; a zero denominator returns
// the ticks unchanged.
std::uint64_t machAbsoluteTimeToNanoseconds(std::uint64_t ticks, HostTimebase timebase);

inline std::uint64_t machAbsoluteTimeToNanoseconds(std::uint64_t ticks) {
  return machAbsoluteTimeToNanoseconds(ticks, hostTimebase());
}

}  // namespace ScreenCaptureTiming
}  // namespace tavolin
