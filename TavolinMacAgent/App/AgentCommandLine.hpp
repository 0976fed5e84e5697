#pragma once

#include <string>
#include <variant>
#include <vector>

namespace tavolin {

// What the process was asked to do. The agent takes no arguments of its own: only the Codex
// summary switches are recognised, checked in this order; anything else starts the agent.
struct RunAgent {
  friend bool operator==(const RunAgent&, const RunAgent&) = default;
};
struct CodexSnapshotSummary {
  friend bool operator==(const CodexSnapshotSummary&, const CodexSnapshotSummary&) = default;
};
struct CodexArchivesSummary {
  friend bool operator==(const CodexArchivesSummary&, const CodexArchivesSummary&) = default;
};
struct CodexSessionSummary {
  std::string sessionId;
  friend bool operator==(const CodexSessionSummary&, const CodexSessionSummary&) = default;
};

using AgentMode =
    std::variant<RunAgent, CodexSnapshotSummary, CodexArchivesSummary, CodexSessionSummary>;

// `arguments` excludes the program name.
AgentMode parseAgentCommandLine(const std::vector<std::string>& arguments);

}  // namespace tavolin
