// The agent's and a controller's API client against the real control-plane server on loopback:
// every step the agent relies on, from bootstrap to the end of a session, including signals
// delivered through the event stream while it is open.
#include <regex>

#include <gtest/gtest.h>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

// ASSERT_* returns, which a coroutine may not; this ends the coroutine instead.
#define CO_ASSERT_TRUE(condition)             \
  do {                                        \
    if (!(condition)) {                       \
      ADD_FAILURE() << "failed: " #condition; \
      co_return;                              \
    }                                         \
  } while (false)

constexpr const char* kBootstrapToken = "walkthrough-bootstrap-secret";

class ControlPlaneWalkthrough : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{TAVOLIN_CONTROL_PLANE_BINARY, "--listen", "127.0.0.1:0",
                                 "--database", (directory_.path() / "cp.sqlite3").string()},
        std::map<std::string, std::string>{{"TAVOLIN_BOOTSTRAP_TOKEN", kBootstrapToken}});
    static const std::regex ready("TAVOLIN_CONTROL_PLANE_READY port=(\\d+)");
    while (const auto line = server_->readErrorLine(20s)) {
      std::smatch match;
      if (std::regex_search(*line, match, ready)) {
        port_ = match[1];
        break;
      }
    }
    ASSERT_FALSE(port_.empty()) << "the server did not start";
  }

  // With a path prefix nothing on the server serves, to prove the client keeps it.
  TavolinAPIClient client(std::string prefix = "") const {
    return TavolinAPIClient("http://127.0.0.1:" + port_ + prefix, http_);
  }

  testing::TemporaryDirectory directory_;
  std::unique_ptr<testing::ChildProcess> server_;
  std::string port_;
  std::shared_ptr<HTTPClient> http_ = std::make_shared<HTTPClient>();
};

TEST_F(ControlPlaneWalkthrough, AgentAndControllerCompleteASession) {
  // Payloads are named locals: GCC 12 mishandles braced temporaries inside co_await operands.
  const BootstrapOwnerPayload ownerPayload{.displayName = "Ada", .credentialLabel = "laptop"};
  const CreateControllerPayload controllerPayload{
      .name = "Phone", .platform = "ios", .publicKey = "PK"};
  const EnrollmentRequestPayload enrollmentPayload{
      .deviceName = "Studio", .hostname = "studio", .platform = "linux", .publicKey = "DK"};
  AppInfo terminal;
  terminal.name = "Terminal";
  HeartbeatPayload heartbeat;
  heartbeat.hostname = "studio";
  heartbeat.runningApps = {terminal};
  const SignalPayload offer{.type = "offer", .payload = {{"sdp", "v=0"}}};
  const SignalPayload answerPayload{.type = "answer", .payload = {}};
  const EnqueueCommandPayload noop{.type = "benchmark_noop", .payload = {{"sequence", 1}}};
  const CompleteCommandPayload completion{.status = "succeeded", .result = {{"sequence", 1}}};
  ScreenFramePayload framePayload;
  framePayload.format = "jpeg";
  framePayload.imageBase64 = "AAAA";
  framePayload.width = framePayload.displayWidth = 2;
  framePayload.height = framePayload.displayHeight = 1;
  framePayload.byteLength = 3;
  framePayload.capturedAt = "2026-03-01T12:00:00.000Z";
  const JSONObject acceptMetadata{{"selectedTransport", "webrtc"}};
  const std::optional<std::string> endReason = "done";

  testing::runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
    const OwnerStatus before = co_await api.ownerStatus();
    EXPECT_TRUE(before.bootstrapConfigured);
    EXPECT_FALSE(before.ownerExists);

    const auto owner = co_await api.bootstrapOwner(kBootstrapToken, ownerPayload);
    const OwnerToken ownerToken{owner.ownerToken};
    const auto controller = co_await api.createController(ownerToken, controllerPayload);
    const std::string controllerToken = controller.controllerToken;

    // Enrolment: the agent token is delivered exactly once, after approval.
    const auto enrollment = co_await api.createEnrollmentRequest(enrollmentPayload);
    EXPECT_EQ(enrollment.code.size(), 8u);
    const auto early = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
    EXPECT_EQ(early.agentToken, std::nullopt);
    ApproveEnrollmentPayload approval;
    approval.code = enrollment.code;
    const ControllerToken approver{controllerToken};
    const auto approved = co_await api.approveEnrollment(approver, approval);
    const auto claim = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
    CO_ASSERT_TRUE(claim.agentToken.has_value());
    const auto again = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
    EXPECT_EQ(again.agentToken, std::nullopt);
    const std::string agentToken = *claim.agentToken;

    co_await api.heartbeat(agentToken, heartbeat);
    const auto detail = co_await api.controllerDevice(controllerToken, approved.device.id);
    CO_ASSERT_TRUE(detail.snapshot.has_value() && detail.snapshot->runningApps.size() == 1u);
    EXPECT_EQ(detail.snapshot->runningApps[0].name, "Terminal");

    // Session: pending, accepted with the agent's metadata, active.
    CreateSessionPayload sessionPayload;
    sessionPayload.deviceId = approved.device.id;
    sessionPayload.transportMode = "webrtc";
    sessionPayload.metadata.set("controllerPublicKey", "CK");
    const auto created = co_await api.createSession(controllerToken, sessionPayload);
    const std::string sessionId = created.session.id;
    EXPECT_EQ(created.session.status, "pending");
    const auto pending = co_await api.pendingSessions(agentToken);
    EXPECT_EQ(pending.sessions.size(), 1u);
    const auto accepted = co_await api.acceptSession(agentToken, sessionId, acceptMetadata);
    EXPECT_EQ(accepted.session.status, "active");
    const auto active = co_await api.activeSessions(agentToken);
    EXPECT_EQ(active.sessions.size(), 1u);

    // Signals: the controller's offer reaches the agent's open event stream as it is sent.
    auto stream = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor, api.agentSignalEventsRequest(agentToken, sessionId, 0),
        http_);
    const auto ready = co_await stream.next();
    CO_ASSERT_TRUE(ready.has_value());
    const auto* opened = std::get_if<TavolinSignalEvent::Ready>(&ready->value);
    CO_ASSERT_TRUE(opened != nullptr);
    EXPECT_EQ(opened->afterSequence, 0);
    co_await api.sendControllerSignal(controllerToken, sessionId, offer);
    const auto delivered = co_await stream.next();
    CO_ASSERT_TRUE(delivered.has_value());
    const auto* signal = std::get_if<TavolinSignalEvent::Signal>(&delivered->value);
    CO_ASSERT_TRUE(signal != nullptr);
    EXPECT_EQ(signal->signal.sequence, 1);
    EXPECT_EQ(signal->signal.sender, "controller");
    const auto answer = co_await api.sendAgentSignal(agentToken, sessionId, answerPayload);
    EXPECT_EQ(answer.signal.sequence, 2);
    const auto afterOffer = co_await api.controllerSignals(controllerToken, sessionId, 1);
    EXPECT_EQ(afterOffer.signals.size(), 1u);
    const auto all = co_await api.agentSignals(agentToken, sessionId, 0);
    EXPECT_EQ(all.signals.size(), 2u);

    // Commands: queued, claimed once, completed, read back.
    const auto queued = co_await api.enqueueCommand(controllerToken, sessionId, noop);
    const auto claimed = co_await api.claimCommands(agentToken, 10);
    CO_ASSERT_TRUE(claimed.commands.size() == 1u);
    const auto none = co_await api.claimCommands(agentToken, 10);
    EXPECT_TRUE(none.commands.empty());
    co_await api.completeCommand(agentToken, queued.command.id, completion);
    const auto done = co_await api.command(controllerToken, queued.command.id);
    EXPECT_EQ(done.command.status, "succeeded");
    EXPECT_EQ(done.command.result, completion.result);

    // Frames: the controller sees the latest one.
    co_await api.uploadScreenFrame(agentToken, sessionId, framePayload);
    const auto frame = co_await api.latestScreenFrame(controllerToken, sessionId);
    EXPECT_EQ(frame.frame.width, 2);

    const auto ended = co_await api.endSession(agentToken, sessionId, endReason);
    EXPECT_EQ(ended.session.status, "ended");
    // The stream carries the agent's own answer too, then says it is closing.
    std::vector<std::int64_t> sequences;
    bool closed = false;
    while (auto event = co_await stream.next()) {
      if (const auto* more = std::get_if<TavolinSignalEvent::Signal>(&event->value)) {
        sequences.push_back(more->signal.sequence);
      }
      if (std::holds_alternative<TavolinSignalEvent::Close>(event->value)) {
        closed = true;
        break;
      }
    }
    EXPECT_EQ(sequences, std::vector<std::int64_t>{2});
    EXPECT_TRUE(closed);
  }());
}

TEST_F(ControlPlaneWalkthrough, FailuresArriveAsHttpStatusErrors) {
  testing::runAwaitable([&]() -> Awaitable<void> {
    try {
      co_await client().pendingSessions("not-a-token");
      ADD_FAILURE() << "an unknown token was accepted";
    } catch (const TavolinAPIError& error) {
      EXPECT_EQ(error.status(), 401);
      EXPECT_EQ(error.description().rfind("HTTP 401: ", 0), 0u) << error.description();
    }
    try {
      co_await client("/api").ownerStatus();
      ADD_FAILURE() << "a prefixed path was served";
    } catch (const TavolinAPIError& error) {
      EXPECT_EQ(error.status(), 404);
    }
    auto stream = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor,
        client().agentSignalEventsRequest("not-a-token", "session", 0), http_);
    try {
      co_await stream.next();
      ADD_FAILURE() << "the stream opened without a valid token";
    } catch (const TavolinSignalEventStreamError& error) {
      EXPECT_EQ(error.description(), "The signal event stream returned HTTP 401.");
    }
  }());
}

}  // namespace
}  // namespace tavolin
