#include "TavolinMacAgent/Streaming/ScreenCaptureTiming.hpp"

#include <limits>

namespace tavolin::ScreenCaptureTiming {

HostTimebase hostTimebase() {
  // CLOCK_MONOTONIC counts nanoseconds.
  static const HostTimebase timebase{1, 1};
  return timebase;
}

std::uint64_t machAbsoluteTimeToNanoseconds(std::uint64_t ticks, HostTimebase timebase) {
  if (timebase.denominator == 0)
    return ticks;
  // Whole denominators and the remainder apart, so that no product leaves 64 bits: the
  // remainder is below the denominator, and both fit 32 bits.
  const std::uint64_t denominator = timebase.denominator;
  const std::uint64_t numerator = timebase.numerator;
  const std::uint64_t partial = (ticks % denominator) * numerator;
  std::uint64_t rounded = partial / denominator;
  if ((partial % denominator) * 2 >= denominator)
    ++rounded;
  std::uint64_t whole = 0;
  if (__builtin_mul_overflow(ticks / denominator, numerator, &whole) ||
      __builtin_add_overflow(whole, rounded, &whole))
    return std::numeric_limits<std::uint64_t>::max();
  return whole;
}

}  // namespace tavolin::ScreenCaptureTiming
