#include <csignal>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "TavolinCore/Records/Records.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/TestHTTP.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::SSEEvent;
using testing::SSEStream;
using testing::TestHeaders;
using testing::TestHTTPResult;

constexpr const char* kBootstrapToken = "integration-bootstrap";

// The string at `key`, or a marker when it is absent or not a string.
std::string textOf(const JSONObject& object, std::string_view key) {
  const auto* value = object.find(key);
  return value != nullptr && value->string() != nullptr ? *value->string() : "<absent>";
}

// The real binary on a free loopback port over a database in a temporary directory, which
// outlives restarts.
class ControlPlaneServerProcess : public ::testing::Test {
 protected:
  void start() {
    server_ = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{TAVOLIN_CONTROL_PLANE_BINARY, "--listen", "127.0.0.1:0",
                                 "--database", (directory_.path() / "db/cp.sqlite3").string()},
        std::map<std::string, std::string>{{"TAVOLIN_BOOTSTRAP_TOKEN", kBootstrapToken},
                                           {"TAVOLIN_CONTROL_PLANE_STUN_URLS",
                                            "stun:stun.example.org:3478,turn:relay.example.org"}});
    static const std::regex ready("TAVOLIN_CONTROL_PLANE_READY port=([0-9]+)");
    while (const auto line = server_->readErrorLine(30s)) {
      std::smatch match;
      if (std::regex_match(*line, match, ready)) {
        port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
        return;
      }
    }
    FAIL() << "the server never announced its port";
  }

  int stop(int signal = SIGTERM) {
    server_->signal(signal);
    const auto code = server_->waitForExit(20s);
    server_.reset();
    return code.value_or(-2);
  }

  TestHTTPResult call(std::string_view method, std::string_view target, std::string_view token = {},
                      std::string body = {}) {
    TestHeaders headers;
    if (!token.empty())
      headers["authorization"] = "Bearer " + std::string(token);
    return testing::httpRequest(port_, method, target, headers, std::move(body));
  }

  // A 200 answer decoded as `T`; anything else fails the test.
  template <class T>
  T ok(std::string_view method, std::string_view target, std::string_view token = {},
       std::string body = {}) {
    const TestHTTPResult result = call(method, target, token, std::move(body));
    EXPECT_EQ(result.status, 200) << method << ' ' << target << ": " << result.body;
    return decodeJSON<T>(result.body);
  }

  SSEStream stream(const std::string& target, std::string_view token) {
    return SSEStream(port_, target, {{"authorization", "Bearer " + std::string(token)}});
  }

  static TavolinSignal signalOf(const std::optional<SSEEvent>& event) {
    EXPECT_TRUE(event);
    if (!event)
      return {};
    EXPECT_EQ(event->name, "signal");
    return decodeJSON<SignalResponse>(event->data).signal;
  }

  testing::TemporaryDirectory directory_;
  std::unique_ptr<testing::ChildProcess> server_;
  std::uint16_t port_ = 0;
};

TEST_F(ControlPlaneServerProcess, WalkThrough_ServesAgentAndControllerAndSurvivesRestart) {
  start();
  EXPECT_EQ(call("GET", "/v1/owner/status").body,
            R"({"ownerExists":false,"bootstrapConfigured":true})");

  // Owner and controller.
  EXPECT_EQ(
      testing::httpRequest(port_, "POST", "/v1/bootstrap/owner", {{"x-bootstrap-token", "guess"}},
                           R"({"displayName":"Ada","credentialLabel":"cli"})")
          .status,
      401);
  const auto owner = decodeJSON<BootstrapOwnerResponse>(
      testing::httpRequest(port_, "POST", "/v1/bootstrap/owner",
                           {{"x-bootstrap-token", kBootstrapToken}},
                           R"({"displayName":"Ada","credentialLabel":"cli"})")
          .body);
  const auto controller = ok<CreateControllerResponse>(
      "POST", "/v1/owner/controllers", owner.ownerToken,
      R"({"name":"Laptop","platform":"web","publicKey":"controller-key"})");
  const std::string& controllerToken = controller.controllerToken;

  // Enrolment: the agent asks, the controller approves the code, the agent collects its token.
  const auto enrollment = ok<EnrollmentRequestResponse>(
      "POST", "/v1/agents/enrollment-requests", {},
      R"({"deviceName":"Desk","hostname":"desk","platform":"linux","capabilities":{"windows":true}})");
  ASSERT_EQ(enrollment.code.size(), 8u);
  const std::string poll =
      "/v1/agents/enrollment-requests/" + enrollment.request.id + "?code=" + enrollment.code;
  EXPECT_EQ(ok<EnrollmentClaimResponse>("GET", poll).request.status, "pending");
  EXPECT_EQ(
      call("GET", "/v1/agents/enrollment-requests/" + enrollment.request.id + "?code=1").status,
      401);
  const auto device =
      ok<DeviceResponse>("POST", "/v1/controllers/enrollment-requests/approve", controllerToken,
                         R"({"code":")" + enrollment.code + R"("})")
          .device;
  const auto claim = ok<EnrollmentClaimResponse>("GET", poll);
  ASSERT_TRUE(claim.agentToken);
  EXPECT_EQ(claim.request.status, "approved");
  EXPECT_EQ(claim.device->id, device.id);
  const std::string agentToken = *claim.agentToken;
  const auto claimedAgain = ok<EnrollmentClaimResponse>("GET", poll);
  EXPECT_FALSE(claimedAgain.agentToken);
  EXPECT_EQ(claimedAgain.request.deliveredAt, claim.request.deliveredAt);

  // Heartbeat and the controller's view of the device.
  const auto beat = ok<DeviceResponse>(
      "POST", "/v1/agent/heartbeat", agentToken,
      R"({"hostname":"desk.lan","agentVersion":"0.1.0","runningApps":[{"name":"xterm"}],"windows":[]})");
  EXPECT_EQ(beat.device.status, "online");
  const auto detail =
      ok<DeviceDetailResponse>("GET", "/v1/controllers/devices/" + device.id, controllerToken);
  EXPECT_EQ(detail.device.hostname, "desk.lan");
  ASSERT_TRUE(detail.snapshot);
  EXPECT_EQ(detail.snapshot->runningApps.at(0).name, "xterm");
  EXPECT_EQ(ok<DevicesResponse>("GET", "/v1/controllers/devices", controllerToken).devices.size(),
            1u);

  // Session: pending, seen by the agent, accepted, active.
  const auto created = ok<SessionResponse>(
      "POST", "/v1/controllers/sessions", controllerToken,
      R"({"deviceId":")" + device.id +
          R"(","transportMode":"webrtc","metadata":{"controllerPublicKey":"controller-key"}})");
  const std::string sessionId = created.session.id;
  EXPECT_EQ(created.session.status, "pending");
  const auto pending = ok<SessionsResponse>("GET", "/v1/agent/sessions/pending", agentToken);
  ASSERT_EQ(pending.sessions.size(), 1u);
  EXPECT_EQ(pending.sessions[0].id, sessionId);
  const auto accepted =
      ok<SessionResponse>("POST", "/v1/agent/sessions/" + sessionId + "/accept", agentToken,
                          R"({"metadata":{"selectedTransport":"hybrid"}})");
  EXPECT_EQ(accepted.session.status, "active");
  EXPECT_TRUE(accepted.session.acceptedAt);
  EXPECT_TRUE(
      ok<SessionsResponse>("GET", "/v1/agent/sessions/pending", agentToken).sessions.empty());
  const auto active = ok<SessionsResponse>("GET", "/v1/agent/sessions/active", agentToken);
  ASSERT_EQ(active.sessions.size(), 1u);
  EXPECT_EQ(textOf(active.sessions[0].metadata, "controllerPublicKey"), "controller-key");
  const auto transport = ok<TransportConfigResponse>(
      "GET", "/v1/controllers/sessions/" + sessionId + "/transport", controllerToken);
  ASSERT_EQ(transport.iceServers.size(), 1u);
  EXPECT_EQ(transport.iceServers[0].urls, std::vector<std::string>{"stun:stun.example.org:3478"});
  EXPECT_TRUE(transport.relays.empty());

  // Signals: a stream open before the controller sends sees the signal as it is stored.
  const std::string agentSignals = "/v1/agent/sessions/" + sessionId + "/signals";
  const std::string controllerSignals = "/v1/controllers/sessions/" + sessionId + "/signals";
  {
    auto events = stream(agentSignals + "/events?after=0", agentToken);
    ASSERT_EQ(events.status(), 200);
    const auto ready = events.next();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->name, "ready");
    EXPECT_NE(ready->data.find(R"("afterSequence":0)"), std::string::npos) << ready->data;

    ok<SignalResponse>("POST", controllerSignals, controllerToken,
                       R"({"type":"offer","payload":{"sdp":"v=0"}})");
    const auto offer = signalOf(events.next());
    EXPECT_EQ(offer.sequence, 1);
    EXPECT_EQ(offer.sender, "controller");
    EXPECT_EQ(offer.type, "offer");

    const auto answer = ok<SignalResponse>("POST", agentSignals, agentToken,
                                           R"({"type":"answer","payload":{"sdp":"v=0"}})");
    EXPECT_EQ(answer.signal.sequence, 2);
    EXPECT_EQ(signalOf(events.next()), answer.signal);
  }
  EXPECT_EQ(
      ok<SignalsResponse>("GET", controllerSignals + "?after=0", controllerToken).signals.size(),
      2u);
  const auto afterOne = ok<SignalsResponse>("GET", agentSignals + "?after=1", agentToken);
  ASSERT_EQ(afterOne.signals.size(), 1u);
  EXPECT_EQ(afterOne.signals[0].sender, "agent");

  // Commands: enqueue (deduplicated), claim, complete, read back.
  const std::string commands = "/v1/controllers/sessions/" + sessionId + "/commands";
  const auto queued =
      ok<CommandResponse>("POST", commands, controllerToken,
                          R"({"type":"click","payload":{"x":1},"idempotencyKey":"k"})");
  EXPECT_EQ(queued.command.status, "queued");
  EXPECT_EQ(ok<CommandResponse>("POST", commands, controllerToken,
                                R"({"type":"click","payload":{"x":1},"idempotencyKey":"k"})")
                .command.id,
            queued.command.id);
  ok<CommandResponse>("POST", commands, controllerToken, R"({"type":"scroll","payload":{}})");
  const auto claimed = ok<CommandsResponse>("GET", "/v1/agent/commands?limit=1", agentToken);
  ASSERT_EQ(claimed.commands.size(), 1u);
  EXPECT_EQ(claimed.commands[0].id, queued.command.id);
  EXPECT_EQ(claimed.commands[0].status, "claimed");
  ok<CommandResponse>("POST", "/v1/agent/commands/" + queued.command.id + "/complete", agentToken,
                      R"({"status":"completed","result":{"ok":true}})");
  const auto readBack =
      ok<CommandResponse>("GET", "/v1/controllers/commands/" + queued.command.id, controllerToken);
  EXPECT_EQ(readBack.command.status, "completed");
  EXPECT_EQ(readBack.command.result, (JSONObject{{"ok", true}}));
  EXPECT_TRUE(readBack.command.completedAt);

  // Screen frames.
  const auto uploaded = ok<ScreenFrameResponse>(
      "POST", "/v1/agent/sessions/" + sessionId + "/screen-frames", agentToken,
      R"({"format":"jpeg","imageBase64":"/9j/","width":4,"height":3,"displayWidth":8,)"
      R"("displayHeight":6,"byteLength":3,"capturedAt":"2026-01-31T09:15:02.000Z"})");
  EXPECT_FALSE(uploaded.frame.receivedAt.empty());
  EXPECT_EQ(ok<ScreenFrameResponse>(
                "GET", "/v1/controllers/sessions/" + sessionId + "/screen/latest", controllerToken)
                .frame,
            uploaded.frame);

  // Restart: an open stream is told why it closes, and the process exits cleanly.
  {
    auto events = stream(controllerSignals + "/events?after=2", controllerToken);
    ASSERT_EQ(events.next()->name, "ready");
    server_->signal(SIGTERM);
    const auto closing = events.next();
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->name, "close");
    EXPECT_NE(closing->data.find(R"("reason":"server_shutdown")"), std::string::npos);
    EXPECT_FALSE(events.next());
    EXPECT_TRUE(events.ended());
  }
  EXPECT_EQ(server_->waitForExit(20s), 0);
  server_.reset();
  start();

  // Tokens still work, the queue kept the second command, sequences continue, streams resume.
  EXPECT_EQ(ok<CommandsResponse>("GET", "/v1/agent/commands", agentToken).commands.at(0).type,
            "scroll");
  const auto third = ok<SignalResponse>("POST", controllerSignals, controllerToken,
                                        R"({"type":"ice","payload":{"candidate":"c"}})");
  EXPECT_EQ(third.signal.sequence, 3);
  {
    auto events = stream(agentSignals + "/events?after=2", agentToken);
    const auto ready = events.next();
    ASSERT_TRUE(ready);
    EXPECT_NE(ready->data.find(R"("afterSequence":2)"), std::string::npos);
    EXPECT_EQ(signalOf(events.next()), third.signal);

    // Ending the session closes the stream it is open on.
    const auto ended = ok<SessionResponse>("POST", "/v1/controllers/sessions/" + sessionId + "/end",
                                           controllerToken, R"({"reason":"user_closed"})");
    EXPECT_EQ(ended.session.status, "ended");
    EXPECT_TRUE(ended.session.endedAt);
    const auto closing = events.next();
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->name, "close");
    EXPECT_NE(closing->data.find(R"("afterSequence":3)"), std::string::npos);
    EXPECT_NE(closing->data.find(R"("reason":"session_ended")"), std::string::npos);
  }
  EXPECT_TRUE(
      ok<SessionsResponse>("GET", "/v1/agent/sessions/active", agentToken).sessions.empty());
  EXPECT_EQ(ok<SessionResponse>("POST", "/v1/agent/sessions/" + sessionId + "/end", agentToken,
                                R"({"reason":"emergency_stop"})")
                .session.status,
            "ended");
  EXPECT_EQ(stop(SIGINT), 0);
}

TEST_F(ControlPlaneServerProcess, Connections_KeepAliveBoundBodiesAndAnswerJSONErrors) {
  start();
  testing::TestHTTPConnection connection(port_);
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
  const auto tooLarge = testing::httpRequest(port_, "POST", "/v1/agents/enrollment-requests", {},
                                             std::string(16 * 1024 * 1024 + 1, ' '));
  EXPECT_EQ(tooLarge.status, 413);
  EXPECT_EQ(tooLarge.body, R"({"error":"payload_too_large"})");
  const auto atLimit = testing::httpRequest(port_, "POST", "/v1/agents/enrollment-requests", {},
                                            std::string(16 * 1024 * 1024, ' '));
  EXPECT_EQ(atLimit.status, 400);
  EXPECT_NE(atLimit.body.find("invalid_json"), std::string::npos);

  const auto stream = SSEStream(port_, "/v1/agent/sessions/x/signals/events?after=0");
  EXPECT_EQ(stream.status(), 401);
  EXPECT_EQ(stop(), 0);
}

}  // namespace
}  // namespace tavolin
