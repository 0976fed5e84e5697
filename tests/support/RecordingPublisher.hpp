#pragma once

#include "TavolinMacAgent/Streaming/SessionPublisher.hpp"

namespace tavolin::testing {

// A publisher that only remembers being started and stopped.
class RecordingPublisher final : public SessionPublisher {
 public:
  void start() override { started = true; }
  Awaitable<void> stop() override {
    stopped = true;
    co_return;
  }
  bool started = false;
  bool stopped = false;
};

}  // namespace tavolin::testing
