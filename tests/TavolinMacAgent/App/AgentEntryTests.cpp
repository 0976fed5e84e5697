#include <chrono>
#include <sstream>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinMacAgent/App/AgentCommandLine.hpp"
#include "TavolinMacAgent/App/AgentConfiguration.hpp"
#include "TavolinMacAgent/App/TavolinMacAgentApp.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeInputInjector.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePlatform.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/TemporaryDirectory.hpp"

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

// The whole start sequence on the fake platform: no display, no session bus.
TEST(AgentStartSequence, OnTheFakePlatform_AnnouncesRegistersHandlersAndAnswersLocally) {
  testing::TemporaryDirectory home;
  const std::string root = home.path().string();
  asio::io_context mainActor;
  std::ostringstream diagnostics;
  std::shared_ptr<FakeInputInjector> injector;
  TavolinMacAgentApp app(mainActor.get_executor(), diagnostics,
                         [&](Executor executor, const Environment& environment) {
                           Platform platform = makeFakePlatform(executor, environment);
                           injector =
                               std::static_pointer_cast<FakeInputInjector>(platform.inputInjector);
                           return platform;
                         });
  app.applicationDidFinishLaunching({{"HOME", root},
                                     {"XDG_DATA_HOME", root + "/data"},
                                     {"XDG_CONFIG_HOME", root + "/config"},
                                     {"XDG_STATE_HOME", root + "/state"},
                                     {"TAVOLIN_API_URL", "http://127.0.0.1:9"},
                                     {"TAVOLIN_MAC_UPDATE_MANIFEST_URL", "http://127.0.0.1:9/m"}});
  {
    // The listener reports from its own thread; keep the loop waiting for it.
    auto guard = asio::make_work_guard(mainActor);
    for (int turn = 0; turn < 250 && (!app.localNetwork()->status().isRunning ||
                                      !app.updateMonitor()->lastResult());
         ++turn)
      mainActor.run_for(std::chrono::milliseconds(20));
  }

  const std::string printed = diagnostics.str();
  const auto started =
      printed.find("TAVOLIN_AGENT_STARTED fingerprint=" + app.identity()->fingerprint() + "\n");
  const auto ready = printed.find("TAVOLIN_LOCAL_NETWORK_READY port=");
  EXPECT_NE(started, std::string::npos) << printed;
  EXPECT_NE(ready, std::string::npos) << printed;
  EXPECT_LT(started, ready) << printed;
  // The update check ran at launch, against a port where nothing listens.
  EXPECT_NE(printed.find("TAVOLIN_AGENT_UPDATE_CHECK_FAILED message=Could not check for updates: "
                         "Connection refused\n"),
            std::string::npos)
      << printed;
  // The fake keychain answered, so no file store was announced.
  EXPECT_EQ(printed.find("TAVOLIN_KEYCHAIN_UNAVAILABLE"), std::string::npos) << printed;

  LocalHTTPRequest request;
  request.method = "GET";
  request.path = "/v1/local/device";
  request.remotePeer = "127.0.0.1:40000";
  const auto answer = testing::runAwaitable(app.localNetwork()->response(request));
  ASSERT_EQ(answer.statusCode, 200) << answer.body;
  EXPECT_EQ(decodeJSON<DeviceResponse>(answer.body).device.publicKey,
            app.identity()->publicKeyBase64URL());

  const auto typed = testing::runAwaitable(
      app.commandExecutor()->handle("S", "keyboard_text", JSONObject{{"text", "hi"}}));
  EXPECT_EQ(typed.status, "succeeded");
  ASSERT_TRUE(injector);
  EXPECT_FALSE(injector->events().empty());
}

}  // namespace
}  // namespace tavolin
