// The hosted route end to end: the agent binary on a private Xvfb display, enrolled with the
// control-plane binary on loopback, and the web console's own live view in Debian's headless
// Chromium as a controller of that control plane, opened at its origin. What the page shows and
// sends is checked against the X display.
#include <iostream>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "tests/e2e/ConsoleDriver.hpp"
#include "tests/support/ControlPlaneProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/RunningAgent.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using namespace e2e;
using testing::runAwaitable;

class HostedRouteEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure() && console_)
      reportToasts(*console_);
    console_.reset();
    if (HasFailure() && agent_)
      std::cerr << "agent standard error:\n" << agent_->remainingErrorOutput(300ms);
    agent_.reset();
    desktop_.reset();
  }

  testing::ControlPlaneProcess controlPlane_;
  testing::TemporaryDirectory home_;
  testing::TemporaryDirectory browserProfile_;
  std::unique_ptr<PaintedDesktop> desktop_;
  std::unique_ptr<testing::RunningAgent> agent_;
  std::unique_ptr<ConsoleDriver> console_;
};

TEST_F(HostedRouteEndToEnd, LiveView_PlaysTheScreenAndClicksLandThroughTheDataChannel) {
  ASSERT_TRUE(browserInstalled());
  desktop_ = std::make_unique<PaintedDesktop>();
  controlPlane_.start();
  agent_ = std::make_unique<testing::RunningAgent>(
      desktop_->display(), home_,
      std::map<std::string, std::string>{{"TAVOLIN_API_URL", controlPlane_.baseURL()}});
  ASSERT_NE(agent_->port, 0);
  // The control plane serves no page and no CORS headers: the console's files are served at its
  // origin from the source tree, so the console's calls are same-origin requests to the server.
  console_ = std::make_unique<ConsoleDriver>();
  ConsoleDriver& console = *console_;
  const JSONObject opened = console.call({{"op", "launch"},
                                          {"url", controlPlane_.baseURL() + "/console/"},
                                          {"userDataDir", browserProfile_.path().string()},
                                          {"width", kViewportWidth},
                                          {"height", kViewportHeight},
                                          {"serveConsole", true}});
  EXPECT_EQ(stringAt(opened, "title"), "Tavolin");
  const std::string browserKey = stringAt(console.call({{"op", "controllerKey"}}), "publicKey");

  // The owner makes a controller with the browser's key, which approves the code the agent shows.
  const auto pairing = agent_->awaitLine(std::regex("TAVOLIN_AGENT_PAIRING code=([0-9]{8}) "), 60s);
  ASSERT_TRUE(pairing) << "no pairing code from the agent";
  std::string controllerToken;
  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api(controlPlane_.baseURL(), std::make_shared<HTTPClient>());
    // Named locals: GCC 12 mishandles braced temporaries inside co_await operands.
    const BootstrapOwnerPayload ownerPayload{.displayName = "Ada", .credentialLabel = "desk"};
    const auto bootstrapped =
        co_await api.bootstrapOwner(testing::ControlPlaneProcess::bootstrapToken, ownerPayload);
    const OwnerToken owner{bootstrapped.ownerToken};
    const CreateControllerPayload controllerPayload{
        .name = "Browser", .platform = "web", .publicKey = browserKey};
    controllerToken = (co_await api.createController(owner, controllerPayload)).controllerToken;
    ApproveEnrollmentPayload approval;
    approval.code = (*pairing)[1];
    const ControllerToken approver{controllerToken};
    co_await api.approveEnrollment(approver, approval);
  }());
  ASSERT_TRUE(agent_->awaitLine(std::regex("TAVOLIN_AGENT_ONLINE device="), 60s))
      << "the agent did not come online";

  // The page opens a live session; the agent accepts it and offers its stream as an agent
  // signal, and the page answers as the console does on the local route.
  const std::string sessionId =
      stringAt(console.call({{"op", "hostedLive"}, {"token", controllerToken}}), "sessionId");
  console.call({{"op", "waitForFrames"}, {"count", 10}});
  console.waitForText("#frameStatus", "Live: playing");
  expectPatternShown(console, true);

  // A click on the video goes over the commands channel and lands on the X window.
  console.call({{"op", "clickScreen"}, {"x", 0.8}, {"y", 0.7}});
  testing::X11EventRecorder& recorder = desktop_->recorder();
  ASSERT_TRUE(recorder.waitUntil(
      [](const testing::X11Events& events) { return !buttonPresses(events).empty(); }));
  const auto presses = buttonPresses(recorder.events());
  EXPECT_EQ(presses[0].detail, 1);
  EXPECT_NEAR(presses[0].x, 0.8 * kWidth, 3);
  EXPECT_NEAR(presses[0].y, 0.7 * kHeight, 3);
  std::vector<std::pair<std::string, JSONObject>> results;
  ASSERT_TRUE(testing::eventually(
      [&] { return !(results = channelMessages(console, "command_result")).empty(); }));
  EXPECT_EQ(results[0].first, "tavolin.commands");
  EXPECT_EQ(stringAt(results[0].second, "status"), "succeeded");
  EXPECT_EQ(stringAt(objectAt(results[0].second, "result"), "transport"), "webrtc_data_channel");
  EXPECT_TRUE(console.calls("POST", "/v1/controllers/sessions/" + sessionId + "/commands").empty())
      << "the click went through the control plane's command queue";

  // Ending is the page's too: the live view stops and the control plane ends the session.
  EXPECT_EQ(stringAt(console.call({{"op", "endLive"}, {"reason", "hosted_e2e_done"}}), "status"),
            "ended");
}

}  // namespace
}  // namespace tavolin
