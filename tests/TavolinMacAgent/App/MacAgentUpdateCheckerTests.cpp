#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "TavolinMacAgent/App/MacAgentUpdateChecker.hpp"
#include "TavolinMacAgent/App/MacAgentUpdateMonitor.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSystemInfo.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/ScriptedHTTPServer.hpp"

namespace tavolin {
namespace {

using testing::ScriptedHTTPServer;
using testing::ScriptedReply;

const OperatingSystemRelease kSystem{"Debian GNU/Linux", "14.6.1"};

std::string manifestJSON(const std::string& version, const std::string& build,
                         const std::string& extra = "") {
  return R"({"version":")" + version + R"(","build":")" + build +
         R"(","downloadURL":"https://example.org/agent.deb")" + extra + "}";
}

MacAgentUpdateCheckResult check(const MacAgentUpdateChecker& checker) {
  return testing::runAwaitable(checker.checkForUpdates());
}

std::string failure(const MacAgentUpdateCheckResult& result) {
  const auto* failed = std::get_if<MacAgentUpdateFailed>(&result);
  return failed ? failed->message : "(not a failure)";
}

TEST(MacAgentUpdateChecker, CompareVersion_ByNumericPiecesWithOthersAsZero) {
  const auto order = [](std::string_view a, std::string_view b) {
    const auto result = compareVersion(a, b);
    return result < 0 ? -1 : result > 0 ? 1 : 0;
  };
  EXPECT_EQ(order("1.10", "1.9"), 1);
  EXPECT_EQ(order("1.9", "1.10"), -1);
  EXPECT_EQ(order("1.2", "1.2.0"), 0);
  EXPECT_EQ(order("1.2.beta", "1.2.0"), 0);
  EXPECT_EQ(order("1..2.", "1.2"), 0);
  EXPECT_EQ(order("", "0.0"), 0);
  EXPECT_EQ(order("2", "1.99.99"), 1);
  EXPECT_EQ(order("1.2.-1", "1.2"), -1);
  // Beyond 64 bits a piece is no number, so it counts as 0 rather than wrapping.
  EXPECT_EQ(order("99999999999999999999", "0"), 0);
}

TEST(MacAgentUpdateChecker, Configuration_ManifestURLTrimmedFromEnvironmentElseHosted) {
  const MacAgentUpdateChecker hosted({}, kSystem);
  EXPECT_EQ(hosted.manifestURL, MacAgentUpdateChecker::kHostedManifestURL);
  EXPECT_EQ(hosted.currentVersion, "0.1.0");
  EXPECT_FALSE(hosted.currentBuild.empty());
  EXPECT_EQ(hosted.currentSystemVersion, "14.6.1");
  EXPECT_EQ(hosted.systemName, "Debian GNU/Linux");

  const auto fromEnvironment = [](const char* value) {
    return MacAgentUpdateChecker::manifestURLFrom({{"TAVOLIN_MAC_UPDATE_MANIFEST_URL", value}});
  };
  EXPECT_EQ(fromEnvironment(" \thttp://127.0.0.1:8/latest.json \n"),
            "http://127.0.0.1:8/latest.json");
  for (const char* bad : {"", "   ", "latest.json", "file:///tmp/latest.json", "https://"})
    EXPECT_EQ(fromEnvironment(bad), MacAgentUpdateChecker::kHostedManifestURL) << bad;
}

TEST(MacAgentUpdateChecker, CheckForUpdates_EachAnswerOfALoopbackServer) {
  ScriptedHTTPServer server;
  MacAgentUpdateChecker checker(
      {{"TAVOLIN_MAC_UPDATE_MANIFEST_URL", server.origin() + "/downloads/latest.json"}}, kSystem);
  checker.currentBuild = "41";
  const auto reply = [&](int status, const std::string& body) {
    server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(status, body)));
  };

  reply(404, "missing");
  EXPECT_EQ(failure(check(checker)), "Update server returned HTTP 404.");
  EXPECT_EQ(server.requests().at(0).requestLine(), "GET /downloads/latest.json HTTP/1.1");

  reply(200, manifestJSON("0.1.0", "41"));
  EXPECT_EQ(check(checker), MacAgentUpdateCheckResult(MacAgentUpToDate{"0.1.0", "41"}));
  reply(200, manifestJSON("0.1", "41.0", R"(,"minimumSystemVersion":"14.6.1")"));
  EXPECT_EQ(check(checker), MacAgentUpdateCheckResult(MacAgentUpToDate{"0.1.0", "41"}));
  reply(200, manifestJSON("0.0.9", "99"));
  EXPECT_EQ(check(checker), MacAgentUpdateCheckResult(MacAgentUpToDate{"0.1.0", "41"}));

  reply(200, manifestJSON("0.1.0", "42", R"(,"notarized":true,"releaseNotes":["Faster."])"));
  MacAgentUpdateManifest expected{.version = "0.1.0",
                                  .build = "42",
                                  .downloadURL = "https://example.org/agent.deb",
                                  .notarized = true,
                                  .releaseNotes = std::vector<std::string>{"Faster."}};
  EXPECT_EQ(check(checker), MacAgentUpdateCheckResult(MacAgentUpdateAvailable{expected}));

  // The system requirement is checked before the version, so a newer build still fails.
  reply(200, manifestJSON("0.2.0", "50", R"(,"minimumSystemVersion":"15.0")"));
  EXPECT_EQ(failure(check(checker)),
            "Tavolin Agent Version 0.2.0 (50) requires Debian GNU/Linux 15.0 or newer.");

  const std::string couldNot = "Could not check for updates: ";
  reply(200, "<html>not json</html>");
  EXPECT_EQ(failure(check(checker)).rfind(couldNot + "The data is not valid JSON", 0), 0u);
  reply(200, R"({"version":"9.0.0","build":"1"})");
  EXPECT_EQ(failure(check(checker)).rfind(couldNot, 0), 0u);
  // A body cut off by the server closing the connection.
  server.enqueue(ScriptedReply::bytes(
      "HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n" + manifestJSON("9.0.0", "1"), true));
  EXPECT_EQ(failure(check(checker)).rfind(couldNot, 0), 0u);
  // Far larger than a manifest: refused on its announced length.
  server.enqueue(ScriptedReply::bytes(
      "HTTP/1.1 200 OK\r\nContent-Length: " +
          std::to_string(MacAgentUpdateChecker::kMaxManifestBytes + 1) + "\r\n\r\n",
      true));
  EXPECT_EQ(failure(check(checker)).rfind(couldNot, 0), 0u);
}

TEST(MacAgentUpdateChecker, CheckForUpdates_FailsWhenTheServerNeverAnswers) {
  ScriptedHTTPServer server;
  const auto gate = server.makeGate();
  server.enqueue(
      {.pieces = {{ScriptedHTTPServer::response(200, manifestJSON("9.0.0", "1")), gate}}});
  MacAgentUpdateChecker checker({{"TAVOLIN_MAC_UPDATE_MANIFEST_URL", server.origin()}}, kSystem);
  checker.loadPayload = MacAgentUpdateChecker::httpLoader(std::chrono::milliseconds(200));
  EXPECT_EQ(failure(check(checker)),
            "Could not check for updates: The socket was closed due to a timeout");
}

TEST(MacAgentUpdateMonitor, ChecksAtStartThenAgain_ReportingEachResultOnOneLine) {
  ScriptedHTTPServer server;
  // A newline in the manifest must not start a line of its own.
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(
      200, R"({"version":"9.0.0","build":"7","downloadURL":"https://x.org/a\nTAVOLIN_X"})")));
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(500, "")));

  asio::io_context mainActor;
  std::ostringstream diagnostics;
  auto systemInfo = std::make_shared<FakeSystemInfo>();
  auto monitor = MacAgentUpdateMonitor::make(
      {.mainExecutor = mainActor.get_executor(),
       .environment = {{"TAVOLIN_MAC_UPDATE_MANIFEST_URL", server.origin()}},
       .systemInfo = systemInfo,
       .diagnostics = &diagnostics,
       .interval = std::chrono::milliseconds(1)});
  std::vector<MacAgentUpdateCheckResult> observed;
  monitor->setObserver([&, raw = monitor.get()](const MacAgentUpdateCheckResult& result) {
    observed.push_back(result);
    if (observed.size() == 2)
      raw->stop();
  });
  monitor->start();
  {
    auto guard = asio::make_work_guard(mainActor);
    for (int turn = 0; turn < 250 && observed.size() < 2; ++turn)
      mainActor.run_for(std::chrono::milliseconds(20));
  }
  mainActor.run_for(std::chrono::milliseconds(20));

  EXPECT_EQ(diagnostics.str(),
            "TAVOLIN_AGENT_UPDATE_AVAILABLE version=9.0.0 build=7 url=https://x.org/a TAVOLIN_X\n"
            "TAVOLIN_AGENT_UPDATE_CHECK_FAILED message=Update server returned HTTP 500.\n");
  ASSERT_EQ(observed.size(), 2u);
  EXPECT_EQ(monitor->lastResult(), observed.back());
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
}  // namespace tavolin
