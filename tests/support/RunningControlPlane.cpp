#include "tests/support/RunningControlPlane.hpp"

#include <regex>

#include <gtest/gtest.h>

namespace tavolin::testing {

RunningControlPlane::RunningControlPlane(const TemporaryDirectory& directory,
                                         const std::string& bootstrapToken,
                                         const std::map<std::string, std::string>& environment) {
  std::map<std::string, std::string> merged = environment;
  merged["TAVOLIN_BOOTSTRAP_TOKEN"] = bootstrapToken;
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{TAVOLIN_CONTROL_PLANE_BINARY, "--listen", "127.0.0.1:0",
                               "--database", (directory.path() / "db/cp.sqlite3").string()},
      merged);
  const std::regex ready("TAVOLIN_CONTROL_PLANE_READY port=([0-9]+)");
  while (const auto line = process_->readErrorLine(std::chrono::seconds(30))) {
    std::smatch match;
    if (std::regex_match(*line, match, ready)) {
      port = static_cast<std::uint16_t>(std::stoi(match[1]));
      return;
    }
  }
  ADD_FAILURE() << "the control plane never announced its port";
}

}  // namespace tavolin::testing
