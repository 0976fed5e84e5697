#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin::testing {

// The control-plane binary on a loopback port over a SQLite database in a temporary directory
// of its own, with owner bootstrap enabled by `bootstrapToken`. A restart keeps the port and the
// database, as the same server coming back would. Stopped with SIGTERM when destroyed.
class ControlPlaneProcess {
 public:
  static constexpr const char* bootstrapToken = "integration-bootstrap";

  // `environment` is added to the server's.
  explicit ControlPlaneProcess(std::map<std::string, std::string> environment = {});

  // Starts the server (again, when it has stopped): on a free port the first time, on the same
  // port after that. Throws when it does not announce itself.
  void start();
  // Sends `signal` and waits for the exit: its code, -1 for a signal, -2 when it did not end.
  int stop(int signal = SIGTERM);

  ChildProcess& process() { return *server_; }
  std::uint16_t port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  std::map<std::string, std::string> environment_;
  TemporaryDirectory directory_;
  std::unique_ptr<ChildProcess> server_;
  std::uint16_t port_ = 0;
};

}  // namespace tavolin::testing
