#include "tests/support/RunningAgent.hpp"

#include <regex>

#include <gtest/gtest.h>

namespace tavolin::testing {

RunningAgent::RunningAgent(const XvfbServer& display, const TemporaryDirectory& home,
                           const std::map<std::string, std::string>& environment) {
  const std::string root = home.path().string();
  std::map<std::string, std::string> merged{
      {"DISPLAY", display.displayName()},
      {"HOME", root},
      {"XDG_DATA_HOME", root + "/data"},
      {"XDG_CONFIG_HOME", root + "/config"},
      {"XDG_STATE_HOME", root + "/state"},
      {"TAVOLIN_TOKEN_STORE_DIR", root + "/tokens"},
      {"TAVOLIN_API_URL", "http://127.0.0.1:9"},
      {"TAVOLIN_MAC_UPDATE_MANIFEST_URL", "http://127.0.0.1:9/latest.json"}};
  for (const auto& [key, value] : environment)
    merged[key] = value;
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{TAVOLIN_AGENT_BINARY}, merged);
  const std::regex ready("TAVOLIN_LOCAL_NETWORK_READY port=([0-9]+) code=([0-9]{8})");
  while (const auto line = process_->readErrorLine(std::chrono::seconds(60))) {
    std::smatch match;
    if (std::regex_search(*line, match, ready)) {
      port = static_cast<std::uint16_t>(std::stoi(match[1]));
      pairingCode = match[2];
      return;
    }
  }
  ADD_FAILURE() << "no READY marker";
}

std::optional<std::vector<std::string>> RunningAgent::awaitLine(const std::regex& pattern,
                                                                std::chrono::milliseconds timeout) {
  const auto index = process_->findErrorLine(pattern, nextLine_, timeout);
  if (!index)
    return std::nullopt;
  nextLine_ = *index + 1;
  const std::string& line = process_->errorLines()[*index];
  std::smatch match;
  std::regex_search(line, match, pattern);
  return std::vector<std::string>(match.begin(), match.end());
}

std::string RunningAgent::remainingErrorOutput(std::chrono::milliseconds timeout) {
  std::string output;
  while (const auto line = process_->readErrorLine(timeout))
    output += *line + "\n";
  return output;
}

}  // namespace tavolin::testing
