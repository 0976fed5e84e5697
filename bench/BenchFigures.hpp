#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tavolin::bench {

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
