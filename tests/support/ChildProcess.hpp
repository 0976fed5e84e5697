#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavolin::testing {

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal or timed out
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
};

// Runs a program to completion with `input` on its standard input and both outputs captured.
// `environment` entries are added to (or replace) the test's own environment. The child is
// killed when it outlives `timeout`.
ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input = {},
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A long-running child with its standard error readable line by line; killed (SIGTERM, then
// SIGKILL) when destroyed unless it has already been waited for.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  // The next line of standard error, or nothing at end of stream or after `timeout`.
  std::optional<std::string> readErrorLine(std::chrono::milliseconds timeout);
  void signal(int signalNumber);
  // The exit code (-1 for a signal), or nothing when it has not ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int errorFd_ = -1;
  bool exited_ = false;
  std::string buffered_;
};

}  // namespace tavolin::testing
