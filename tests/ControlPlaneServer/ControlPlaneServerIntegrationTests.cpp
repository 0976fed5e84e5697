// The control-plane binary on loopback, driven by the agent's and a controller's own API client:
// signal event streams delivering while open, closing on shutdown and resuming across a restart;
// and failures and limits over raw HTTP.
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

  testing::ControlPlaneProcess controlPlane_;
  std::shared_ptr<HTTPClient> http_ = std::make_shared<HTTPClient>();
};

TEST_F(ControlPlaneServerProcess,
       SignalStreams_DeliverWhileOpenCloseOnShutdownAndResumeAfterRestart) {
  // Payloads are named locals: GCC 12 mishandles braced temporaries inside co_await operands.
  const BootstrapOwnerPayload ownerPayload{.displayName = "Ada", .credentialLabel = "laptop"};
  const CreateControllerPayload controllerPayload{.name = "Phone", .platform = "ios"};
  const EnrollmentRequestPayload enrollmentPayload{.deviceName = "Studio", .platform = "linux"};
  const SignalPayload offer{.type = "offer", .payload = {{"sdp", "v=0"}}};
  const SignalPayload answerPayload{.type = "answer", .payload = {}};
  const SignalPayload ice{.type = "ice", .payload = {{"candidate", "c"}}};
  const JSONObject acceptMetadata;
  const std::optional<std::string> endReason = "user_closed";
  std::string controllerToken, agentToken, sessionId;

  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
    const auto owner = co_await api.bootstrapOwner(kBootstrapToken, ownerPayload);
    const OwnerToken ownerToken{owner.ownerToken};
    controllerToken =
        (co_await api.createController(ownerToken, controllerPayload)).controllerToken;
    const auto enrollment = co_await api.createEnrollmentRequest(enrollmentPayload);
    ApproveEnrollmentPayload approval;
    approval.code = enrollment.code;
    const ControllerToken approver{controllerToken};
    const auto approved = co_await api.approveEnrollment(approver, approval);
    const auto claim = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
    CO_ASSERT_TRUE(claim.agentToken.has_value());
    agentToken = *claim.agentToken;
    CreateSessionPayload sessionPayload;
    sessionPayload.deviceId = approved.device.id;
    sessionPayload.transportMode = "webrtc";
    sessionId = (co_await api.createSession(controllerToken, sessionPayload)).session.id;
    co_await api.acceptSession(agentToken, sessionId, acceptMetadata);

    {
      // The controller's offer reaches the agent's open event stream as it is sent.
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
    EXPECT_EQ((co_await api.sendAgentSignal(agentToken, sessionId, answerPayload)).signal.sequence,
              2);

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

  // Tokens still work, sequences continue, streams resume after the given sequence.
  runAwaitable([&]() -> Awaitable<void> {
    const TavolinAPIClient api = client();
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
    const auto closing = co_await stream.next();
    CO_ASSERT_TRUE(as<TavolinSignalEvent::Close>(closing));
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->afterSequence, 3);
    EXPECT_EQ(as<TavolinSignalEvent::Close>(closing)->reason, "session_ended");
    EXPECT_EQ((co_await api.endSession(agentToken, sessionId, endReason)).session, ended.session);
  }());
  EXPECT_EQ(controlPlane_.stop(SIGINT), 0);
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
