#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin::testing {

// The control-plane binary on a free loopback port, its database in `directory` (so a second
// one on the same directory is the same server restarted), owners bootstrapped with
// `bootstrapToken` and `environment` added. Constructed once its READY marker has given the port
// (a missing marker is a test failure and leaves `port` 0); stopped with SIGTERM when destroyed.
class RunningControlPlane {
 public:
  RunningControlPlane(const TemporaryDirectory& directory, const std::string& bootstrapToken,
                      const std::map<std::string, std::string>& environment = {});

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port); }

  void signal(int signalNumber) { process_->signal(signalNumber); }
  // The exit code, or nothing when the server has not ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    return process_->waitForExit(timeout);
  }

  std::uint16_t port = 0;

 private:
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tavolin::testing
