#include "TavolinMacAgent/App/AgentCommandLine.hpp"

#include <algorithm>

namespace tavolin {

AgentMode parseAgentCommandLine(const std::vector<std::string>& arguments) {
  const auto has = [&](std::string_view flag) {
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
  };
  if (has("--codex-snapshot-summary"))
    return CodexSnapshotSummary{};
  if (has("--codex-archives-summary"))
    return CodexArchivesSummary{};
  const auto session = std::find(arguments.begin(), arguments.end(), "--codex-session-summary");
  // The session switch needs its id; as the last argument it is not a switch at all.
  if (session != arguments.end() && std::next(session) != arguments.end()) {
    return CodexSessionSummary{*std::next(session)};
  }
  return RunAgent{};
}

}  // namespace tavolin
