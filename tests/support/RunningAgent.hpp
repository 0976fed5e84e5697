#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

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

  // Waits up to `timeout` for a line of standard error matching `pattern` after the line the
  // previous call matched (from the first line on the first call, so lines written before the
  // READY marker count too): the match and its groups, or nothing.
  std::optional<std::vector<std::string>> awaitLine(const std::regex& pattern,
                                                    std::chrono::milliseconds timeout);

  int pid() const { return process_->pid(); }
  ChildProcess& process() { return *process_; }

  std::uint16_t port = 0;
  std::string pairingCode;

 private:
  std::unique_ptr<ChildProcess> process_;
  std::size_t nextLine_ = 0;
};

}  // namespace tavolin::testing
