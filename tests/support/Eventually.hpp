#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tavolin::testing {

// Polls `condition` until it holds or a generous deadline passes, for state that another thread
// or process changes; returns whether it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace tavolin::testing
