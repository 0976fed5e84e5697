#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

namespace tavolin::bench {

// How much work a figure takes: as given, or a twentieth of it (at least 2) when
// TAVOLIN_BENCH_SHORT is set, for the once-over run that checks every benchmark still works.
inline int benchCount(int full) {
  static const bool shortRun = std::getenv("TAVOLIN_BENCH_SHORT") != nullptr;
  return shortRun ? std::max(2, full / 20) : full;
}

// The median and 95th percentile (nearest rank) of a set of timings.
struct Figures {
  double median = 0;
  double p95 = 0;
};

inline Figures figuresOf(std::vector<double> milliseconds) {
  std::sort(milliseconds.begin(), milliseconds.end());
  const auto at = [&](double quantile) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(milliseconds.size())));
    return milliseconds[std::clamp<std::size_t>(rank, 1, milliseconds.size()) - 1];
  };
  return {at(0.5), at(0.95)};
}

}  // namespace tavolin::bench
