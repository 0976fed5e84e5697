// The control-plane binary on loopback, driven by the agent's and a controller's own API client
// (whose wire format APIClientIntegrationTests pins against raw bytes): every step the agent
// relies on from bootstrap to the end of a session, across a restart, with signals delivered
// through the event stream while it is open; and the connection limits over raw HTTP.
#include <csignal>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"
#include "tests/support/ControlPlaneProcess.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/TestHTTP.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::runAwaitable;

// ASSERT_* returns, which a coroutine may not; this ends the coroutine instead.
#define CO_ASSERT_TRUE(condition)             \
  do {                                        \
    if (!(condition)) {                       \
      ADD_FAILURE() << "failed: " #condition; \
      co_return;                              \
    }                                         \
  } while (false)

constexpr const char* kBootstrapToken = testing::ControlPlaneProcess::bootstrapToken;

// The case `Case` of an event, or null when the stream ended or sent another case.
template <class Case>
const Case* as(const std::optional<TavolinSignalEvent>& event) {
  return event ? std::get_if<Case>(&event->value) : nullptr;
}

// The real binary on a free loopback port; its database outlives restarts.
class ControlPlaneServerProcess : public ::testing::Test {
 protected:
  void SetUp() override { controlPlane_.start(); }

  // With a path prefix nothing on the server serves, to prove the client keeps it.
  TavolinAPIClient client(std::string prefix = "") const {
    return TavolinAPIClient(controlPlane_.baseURL() + prefix, http_);
  }

  testing::ControlPlaneProcess controlPlane_{
      {{"TAVOLIN_CONTROL_PLANE_STUN_URLS", "stun:stun.example.org:3478,turn:relay.example.org"}}};
  std::shared_ptr<HTTPClient> http_ = std::make_shared<HTTPClient>();
};

TEST_F(ControlPlaneServerProcess, WalkThrough_AgentAndControllerCompleteASessionAcrossARestart) {
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
  const SignalPayload ice{.type = "ice", .payload = {{"candidate", "c"}}};
  const EnqueueCommandPayload noop{.type = "benchmark_noop", .payload = {{"sequence", 1}}};
  const EnqueueCommandPayload scroll{.type = "scroll", .payload = {}};
  const CompleteCommandPayload completion{.status = "succeeded", .result = {{"sequence", 1}}};
  ScreenFramePayload framePayload;
  framePayload.format = "jpeg";
  framePayload.imageBase64 = "AAAA";
  framePayload.width = framePayload.displayWidth = 2;
  framePayload.height = framePayload.displayHeight = 1;
  framePayload.byteLength = 3;
  framePayload.capturedAt = "2026-03-01T12:00:00.000Z";
  const JSONObject acceptMetadata{{"selectedTransport", "webrtc"}};
  const std::optional<std::string> endReason = "user_closed";
  const OwnerStatus unowned{false, true};
  const std::vector<std::string> stunOnly{"stun:stun.example.org:3478"};
  std::string controllerToken, agentToken, sessionId;

  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
    EXPECT_EQ(co_await api.ownerStatus(), unowned);
    const auto owner = co_await api.bootstrapOwner(kBootstrapToken, ownerPayload);
    const OwnerToken ownerToken{owner.ownerToken};
    controllerToken =
        (co_await api.createController(ownerToken, controllerPayload)).controllerToken;

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
    agentToken = *claim.agentToken;

    co_await api.heartbeat(agentToken, heartbeat);
    const auto detail = co_await api.controllerDevice(controllerToken, approved.device.id);
    CO_ASSERT_TRUE(detail.snapshot.has_value() && detail.snapshot->runningApps.size() == 1u);
    EXPECT_EQ(detail.snapshot->runningApps[0].name, "Terminal");

    // Session: pending, accepted with the agent's metadata added to the controller's, active.
    CreateSessionPayload sessionPayload;
    sessionPayload.deviceId = approved.device.id;
    sessionPayload.transportMode = "webrtc";
    sessionPayload.metadata.set("controllerPublicKey", "CK");
    const auto created = co_await api.createSession(controllerToken, sessionPayload);
    sessionId = created.session.id;
    EXPECT_EQ(created.session.status, "pending");
    EXPECT_EQ((co_await api.pendingSessions(agentToken)).sessions.size(), 1u);
    const auto accepted = co_await api.acceptSession(agentToken, sessionId, acceptMetadata);
    EXPECT_EQ(accepted.session.status, "active");
    const auto active = co_await api.activeSessions(agentToken);
    CO_ASSERT_TRUE(active.sessions.size() == 1u);
    EXPECT_EQ(*active.sessions[0].metadata.find("controllerPublicKey"), JSONValue("CK"));
    // STUN from the environment; relay URLs are dropped.
    const auto transport = co_await api.controllerTransportConfig(controllerToken, sessionId);
    CO_ASSERT_TRUE(transport.iceServers.size() == 1u);
    EXPECT_EQ(transport.iceServers[0].urls, stunOnly);
    EXPECT_TRUE(transport.relays.empty());

    {
      // Signals: the controller's offer reaches the agent's open event stream as it is sent.
      auto stream = TavolinSignalEventStream::events(
          co_await asio::this_coro::executor,
          api.agentSignalEventsRequest(agentToken, sessionId, 0), http_);
      const auto ready = co_await stream.next();
      CO_ASSERT_TRUE(as<TavolinSignalEvent::Ready>(ready));
      EXPECT_EQ(as<TavolinSignalEvent::Ready>(ready)->afterSequence, 0);
      co_await api.sendControllerSignal(controllerToken, sessionId, offer);
      const auto delivered = co_await stream.next();
      CO_ASSERT_TRUE(as<TavolinSignalEvent::Signal>(delivered));
      EXPECT_EQ(as<TavolinSignalEvent::Signal>(delivered)->signal.sequence, 1);
      EXPECT_EQ(as<TavolinSignalEvent::Signal>(delivered)->signal.sender, "controller");
    }
    const auto answer = co_await api.sendAgentSignal(agentToken, sessionId, answerPayload);
    EXPECT_EQ(answer.signal.sequence, 2);
    EXPECT_EQ((co_await api.controllerSignals(controllerToken, sessionId, 1)).signals.size(), 1u);
    EXPECT_EQ((co_await api.agentSignals(agentToken, sessionId, 0)).signals.size(), 2u);

    // Commands: claimed oldest first within the limit, once, completed, read back.
    const auto queued = co_await api.enqueueCommand(controllerToken, sessionId, noop);
    co_await api.enqueueCommand(controllerToken, sessionId, scroll);
    const auto claimed = co_await api.claimCommands(agentToken, 1);
    CO_ASSERT_TRUE(claimed.commands.size() == 1u);
    EXPECT_EQ(claimed.commands[0].id, queued.command.id);
    co_await api.completeCommand(agentToken, queued.command.id, completion);
    const auto done = co_await api.command(controllerToken, queued.command.id);
    EXPECT_EQ(done.command.status, "succeeded");
    EXPECT_EQ(done.command.result, completion.result);

    const auto uploaded = co_await api.uploadScreenFrame(agentToken, sessionId, framePayload);
    EXPECT_EQ((co_await api.latestScreenFrame(controllerToken, sessionId)).frame, uploaded.frame);

    // Shutting down tells an open stream why it closes.
    auto stream = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor,
        api.controllerSignalEventsRequest(controllerToken, sessionId, 2), http_);
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Ready>(co_await stream.next()));
    controlPlane_.process().signal(SIGTERM);
    const auto closing = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Close>(closing));
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->reason, "server_shutdown");
    EXPECT_EQ(co_await stream.next(), std::nullopt);
  }());
  EXPECT_EQ(controlPlane_.process().waitForExit(20s), 0);
  ASSERT_FALSE(HasFailure());
  controlPlane_.start();

  // Tokens still work, the queue kept the second command, sequences continue, streams resume.
  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
    const auto kept = co_await api.claimCommands(agentToken, 10);
    CO_ASSERT_TRUE(kept.commands.size() == 1u);
    EXPECT_EQ(kept.commands[0].type, "scroll");
    const auto third = co_await api.sendControllerSignal(controllerToken, sessionId, ice);
    EXPECT_EQ(third.signal.sequence, 3);
    auto stream = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor, api.agentSignalEventsRequest(agentToken, sessionId, 2),
        http_);
    const auto ready = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Ready>(ready));
    EXPECT_EQ(as<TavolinSignalEvent::Ready>(ready)->afterSequence, 2);
    const auto resumed = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Signal>(resumed));
    EXPECT_EQ(as<TavolinSignalEvent::Signal>(resumed)->signal, third.signal);

    // Ending the session closes the stream it is open on; ending again changes nothing.
    const auto ended = co_await api.endControllerSession(controllerToken, sessionId, endReason);
    EXPECT_EQ(ended.session.status, "ended");
    EXPECT_TRUE(ended.session.endedAt);
    const auto closing = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Close>(closing));
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->afterSequence, 3);
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->reason, "session_ended");
    EXPECT_TRUE((co_await api.activeSessions(agentToken)).sessions.empty());
    EXPECT_EQ((co_await api.endSession(agentToken, sessionId, endReason)).session, ended.session);
  }());
  EXPECT_EQ(controlPlane_.stop(SIGINT), 0);
}

TEST_F(ControlPlaneServerProcess, Administration_DenialAndRevocationReachTheAgent) {
  const BootstrapOwnerPayload ownerPayload{.displayName = "Ada", .credentialLabel = "laptop"};
  const CreateControllerPayload controllerPayload{.name = "Phone", .platform = "ios"};
  const EnrollmentRequestPayload enrollmentPayload{.deviceName = "Studio", .platform = "linux"};
  const EnqueueCommandPayload click{.type = "click", .payload = {}};
  const HeartbeatPayload heartbeat;
  const JSONObject acceptMetadata;

  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
    const auto bootstrapped = co_await api.bootstrapOwner(kBootstrapToken, ownerPayload);
    const OwnerToken owner{bootstrapped.ownerToken};
    const auto created = co_await api.createController(owner, controllerPayload);
    const ControllerToken controller{created.controllerToken};

    // A denied agent reads "denied" and no token; the code is spent.
    const auto refused = co_await api.createEnrollmentRequest(enrollmentPayload);
    ApproveEnrollmentPayload refusal;
    refusal.code = refused.code;
    EXPECT_EQ((co_await api.denyEnrollment(controller, refusal)).request.status, "denied");
    const auto denied = co_await api.pollEnrollment(refused.request.id, refused.code);
    EXPECT_EQ(denied.request.status, "denied");
    EXPECT_EQ(denied.agentToken, std::nullopt);
    int lateApproval = 0;
    try {
      co_await api.approveEnrollment(owner, refusal);
    } catch (const TavolinAPIError& error) {
      lateApproval = error.status();
    }
    EXPECT_EQ(lateApproval, 404);

    // A revoked agent's open stream closes, its session and queued command end, its token fails.
    const auto enrollment = co_await api.createEnrollmentRequest(enrollmentPayload);
    ApproveEnrollmentPayload approval;
    approval.code = enrollment.code;
    const auto deviceId = (co_await api.approveEnrollment(owner, approval)).device.id;
    const auto claim = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
    CO_ASSERT_TRUE(claim.agentToken.has_value());
    const std::string agentToken = *claim.agentToken;
    CreateSessionPayload sessionPayload;
    sessionPayload.deviceId = deviceId;
    sessionPayload.transportMode = "webrtc";
    const auto sessionId =
        (co_await api.createSession(controller.value, sessionPayload)).session.id;
    co_await api.acceptSession(agentToken, sessionId, acceptMetadata);
    const auto queued = co_await api.enqueueCommand(controller.value, sessionId, click);
    auto stream = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor, api.agentSignalEventsRequest(agentToken, sessionId, 0),
        http_);
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Ready>(co_await stream.next()));

    EXPECT_EQ((co_await api.revokeDevice(owner, deviceId)).device.status, "revoked");
    const auto closing = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Close>(closing));
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->reason, "session_ended");
    const auto ended = (co_await api.session(controller.value, sessionId)).session;
    EXPECT_EQ(ended.status, "ended");
    EXPECT_EQ(*ended.metadata.find("endReason"), JSONValue("device_revoked"));
    EXPECT_EQ((co_await api.command(controller.value, queued.command.id)).command.status,
              "cancelled");
    int heartbeatStatus = 0;
    try {
      co_await api.heartbeat(agentToken, heartbeat);
    } catch (const TavolinAPIError& error) {
      heartbeatStatus = error.status();
    }
    EXPECT_EQ(heartbeatStatus, 401);
    EXPECT_EQ((co_await api.revokeDevice(controller, deviceId)).device.status, "revoked");
  }());
  EXPECT_EQ(controlPlane_.stop(), 0);
}

TEST_F(ControlPlaneServerProcess, Failures_AreJSONBoundedAndArriveAsClientErrors) {
  testing::TestHTTPConnection connection(controlPlane_.port());
  const auto first = connection.request("GET", "/v1/owner/status");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.headers.at("content-type"), "application/json");
  const auto unauthorized = connection.request("GET", "/v1/agent/sessions/pending");
  EXPECT_EQ(unauthorized.status, 401);
  EXPECT_EQ(unauthorized.body, R"({"error":"unauthorized"})");
  const auto local = connection.request("GET", "/v1/local/direct-readiness");
  EXPECT_EQ(local.status, 404);
  EXPECT_EQ(local.body, R"({"error":"not_found"})");

  // Past the 16 MiB bound the request is refused before the routes see it.
  const auto tooLarge =
      testing::httpRequest(controlPlane_.port(), "POST", "/v1/agents/enrollment-requests", {},
                           std::string(16 * 1024 * 1024 + 1, ' '));
  EXPECT_EQ(tooLarge.status, 413);
  EXPECT_EQ(tooLarge.body, R"({"error":"payload_too_large"})");
  const auto atLimit =
      testing::httpRequest(controlPlane_.port(), "POST", "/v1/agents/enrollment-requests", {},
                           std::string(16 * 1024 * 1024, ' '));
  EXPECT_EQ(atLimit.status, 400);
  EXPECT_NE(atLimit.body.find("invalid_json"), std::string::npos);

  runAwaitable([&]() -> Awaitable<void> {
    try {
      co_await client().pendingSessions("not-a-token");
      ADD_FAILURE() << "an unknown token was accepted";
    } catch (const TavolinAPIError& error) {
      EXPECT_EQ(error.status(), 401);
      EXPECT_EQ(error.description(), R"(HTTP 401: {"error":"unauthorized"})");
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
  EXPECT_EQ(controlPlane_.stop(), 0);
}

}  // namespace
}  // namespace tavolin
