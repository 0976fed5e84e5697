#include "tests/support/ControlPlaneProcess.hpp"

#include <regex>
#include <stdexcept>

namespace tavolin::testing {

ControlPlaneProcess::ControlPlaneProcess(std::map<std::string, std::string> environment)
    : environment_(std::move(environment)) {
  environment_["TAVOLIN_BOOTSTRAP_TOKEN"] = bootstrapToken;
}

void ControlPlaneProcess::start() {
  server_.reset();
  server_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{TAVOLIN_CONTROL_PLANE_BINARY, "--listen",
                               "127.0.0.1:" + std::to_string(port_), "--database",
                               (directory_.path() / "db/cp.sqlite3").string()},
      environment_);
  static const std::regex ready("^TAVOLIN_CONTROL_PLANE_READY port=([0-9]+)$");
  const auto line = server_->findErrorLine(ready, 0, std::chrono::seconds(30));
  if (!line)
    throw std::runtime_error("the control plane never announced its port");
  std::smatch match;
  std::regex_match(server_->errorLines()[*line], match, ready);
  port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
}

int ControlPlaneProcess::stop(int signal) {
  server_->signal(signal);
  const auto code = server_->waitForExit(std::chrono::seconds(20));
  server_.reset();
  return code.value_or(-2);
}

}  // namespace tavolin::testing
