#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
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
// SIGKILL) when destroyed unless it has already been waited for. With `Pipes::allStandard` its
// standard input and output are pipes as well, for a line protocol with the child; otherwise
// they are the test's own.
class ChildProcess {
 public:
  enum class Pipes { standardError, allStandard };

  ChildProcess(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {},
               Pipes pipes = Pipes::standardError);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  // The next line of standard error this call has not returned yet (lines findErrorLine read
  // ahead come first), or nothing at end of stream or after `timeout`.
  std::optional<std::string> readErrorLine(std::chrono::milliseconds timeout);
  // The index in errorLines() of the first line from `from` on that contains a match of
  // `pattern`, reading further lines for up to `timeout`; nothing at end of stream or time-out.
  std::optional<std::size_t> findErrorLine(const std::regex& pattern, std::size_t from,
                                           std::chrono::milliseconds timeout);
  // Every line of standard error read so far, by either call above, in order.
  const std::vector<std::string>& errorLines() const { return errorLines_; }
  // The next line of standard output (`Pipes::allStandard` only), as readErrorLine.
  std::optional<std::string> readOutputLine(std::chrono::milliseconds timeout);
  // Writes `line` and a line feed to standard input (`Pipes::allStandard` only); false once the
  // child no longer reads.
  bool writeInputLine(std::string_view line);
  // Closes standard input, the child's cue to finish.
  void closeInput();
  void signal(int signalNumber);
  // The exit code (-1 for a signal), or nothing when it has not ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  // One pipe from the child, read up to line ends.
  struct LineReader {
    int fd = -1;
    std::string buffered;
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void close();
  };

  int pid_ = -1;
  int inputFd_ = -1;
  LineReader error_;
  std::vector<std::string> errorLines_;
  std::size_t errorLinesReturned_ = 0;
  LineReader output_;
  bool exited_ = false;
};

}  // namespace tavolin::testing
