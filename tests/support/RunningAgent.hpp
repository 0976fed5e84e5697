#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin::testing {

// The agent binary on `display`, its keys, settings and files under `home` (so a second agent
// on the same home is the same computer restarted), the hosted control plane pointed at a dead
// port. Constructed once the local server's READY marker has given its port and pairing code
// (a missing marker is a test failure and leaves `port` 0); stopped with SIGTERM when destroyed.
class RunningAgent {
 public:
  RunningAgent(const XvfbServer& display, const TemporaryDirectory& home,
               const std::map<std::string, std::string>& environment = {});

  // What the agent wrote to standard error since the marker, waiting at most `timeout` for
  // each line; for failure reports (a sanitizer report lands here).
  std::string remainingErrorOutput(std::chrono::milliseconds timeout);

  int pid() const { return process_->pid(); }

  std::uint16_t port = 0;
  std::string pairingCode;

 private:
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tavolin::testing
