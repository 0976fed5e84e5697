#include <gtest/gtest.h>

#include "TavolinMacAgent/App/AgentCommandLine.hpp"
#include "TavolinMacAgent/App/AgentConfiguration.hpp"

namespace tavolin {
namespace {

TEST(AgentCommandLine, CodexSwitchesAreCheckedInOrderAndNeedTheirArgument) {
  EXPECT_EQ(parseAgentCommandLine({}), AgentMode(RunAgent{}));
  EXPECT_EQ(parseAgentCommandLine({"--verbose"}), AgentMode(RunAgent{}));
  EXPECT_EQ(parseAgentCommandLine({"--codex-archives-summary", "--codex-snapshot-summary"}),
            AgentMode(CodexSnapshotSummary{}));
  EXPECT_EQ(parseAgentCommandLine({"--codex-session-summary", "abc", "--codex-archives-summary"}),
            AgentMode(CodexArchivesSummary{}));
  EXPECT_EQ(parseAgentCommandLine({"x", "--codex-session-summary", "abc"}),
            AgentMode(CodexSessionSummary{"abc"}));
  EXPECT_EQ(parseAgentCommandLine({"--codex-session-summary"}), AgentMode(RunAgent{}));
}

TEST(AgentConfiguration, BaseUrlFromEnvironmentOnlyWhenItIsAnHttpUrl) {
  EXPECT_EQ(chooseBaseURL({}), kHostedControlPlaneBaseURL);
  EXPECT_EQ(chooseBaseURL({{"TAVOLIN_API_URL", "http://127.0.0.1:8787/api"}}),
            "http://127.0.0.1:8787/api");
  EXPECT_EQ(chooseBaseURL({{"TAVOLIN_API_URL", "https://cp.example.org"}}),
            "https://cp.example.org");
  for (const char* bad : {"", "not a url", "localhost:8787", "/relative", "ftp://x", "http://"}) {
    EXPECT_EQ(chooseBaseURL({{"TAVOLIN_API_URL", bad}}), kHostedControlPlaneBaseURL) << bad;
  }
}

}  // namespace
}  // namespace tavolin
