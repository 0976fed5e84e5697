#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ControlPlaneServer/ControlPlaneRoutes.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace http = boost::beast::http;

using testing::ManualClock;
using testing::TemporaryDirectory;

constexpr const char* kBootstrapToken = "bootstrap-secret";
const std::string kClient = "192.0.2.1";

struct Answer {
  int status = 0;
  std::string body;
};

// The routes over a real store, driven with parsed requests: no sockets involved.
struct Harness {
  explicit Harness(ControlPlaneOptions options = {.bootstrapToken = kBootstrapToken})
      : routes(store, hub, std::move(options), diagnostics) {}

  TemporaryDirectory directory;
  ManualClock clock;
  ControlPlaneStore store{directory.path() / "control-plane.sqlite3", clock};
  SignalHub hub;
  std::ostringstream diagnostics;
  ControlPlaneRoutes routes;

  RouteResult route(http::verb method, std::string_view target, std::string body = {},
                    std::string_view bearer = {}) {
    ControlPlaneRequest request(method, target, 11);
    if (!bearer.empty())
      request.set(http::field::authorization, "Bearer " + std::string(bearer));
    request.set("x-bootstrap-token", kBootstrapToken);
    request.body() = std::move(body);
    request.prepare_payload();
    return routes.handle(request, kClient);
  }

  Answer call(http::verb method, std::string_view target, std::string body = {},
              std::string_view bearer = {}) {
    auto result = route(method, target, std::move(body), bearer);
    const auto* response = std::get_if<ControlPlaneResponse>(&result);
    if (response == nullptr) {
      ADD_FAILURE() << "a stream, not a response";
      return {};
    }
    EXPECT_EQ((*response)[http::field::content_type], "application/json");
    return {static_cast<int>(response->result_int()), response->body()};
  }

  // An owner, a controller and a device, set up through the store.
  std::string ownerToken, controllerToken, agentToken, deviceId;
  void populate() {
    ownerToken = store.bootstrapOwner({.displayName = "Owner", .credentialLabel = "t"}).ownerToken;
    const auto ownerId = store.authenticate(ownerToken)->ownerId;
    controllerToken =
        store.createController(ownerId, {.name = "Laptop", .platform = "web"}).controllerToken;
    const auto request =
        store.createEnrollmentRequest({.deviceName = "Desk", .platform = "linux"}, kClient);
    deviceId = store.approveEnrollment(ownerId, {.code = request.code}).id;
    agentToken = *store.pollEnrollment(request.request.id, request.code).agentToken;
  }

  std::string openSession() {
    const auto created =
        call(http::verb::post, "/v1/controllers/sessions",
             R"({"deviceId":")" + deviceId + R"(","transportMode":"webrtc","metadata":{}})",
             controllerToken);
    EXPECT_EQ(created.status, 200) << created.body;
    return decodeJSON<SessionResponse>(created.body).session.id;
  }
};

TEST(ControlPlaneRoutes, Authentication_AnswersUnauthorizedOrForbidden) {
  Harness h;
  h.populate();
  const Answer none = h.call(http::verb::get, "/v1/controllers/devices");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.body, R"({"error":"unauthorized"})");
  EXPECT_EQ(h.call(http::verb::get, "/v1/controllers/devices", {}, "not-a-token").status, 401);

  ControlPlaneRequest basic(http::verb::get, "/v1/controllers/devices", 11);
  basic.set(http::field::authorization, "Basic " + h.controllerToken);
  EXPECT_EQ(std::get<ControlPlaneResponse>(h.routes.handle(basic, kClient)).result_int(), 401u);
  // The scheme is case-insensitive.
  basic.set(http::field::authorization, "bearer " + h.controllerToken);
  EXPECT_EQ(std::get<ControlPlaneResponse>(h.routes.handle(basic, kClient)).result_int(), 200u);

  const Answer wrongKind = h.call(http::verb::get, "/v1/controllers/devices", {}, h.agentToken);
  EXPECT_EQ(wrongKind.status, 403);
  EXPECT_NE(wrongKind.body.find(R"("error":"forbidden")"), std::string::npos);
  EXPECT_EQ(h.call(http::verb::get, "/v1/agent/sessions/pending", {}, h.controllerToken).status,
            403);
  EXPECT_EQ(h.call(http::verb::post, "/v1/owner/controllers", R"({"name":"x","platform":"y"})",
                   h.controllerToken)
                .status,
            403);
  EXPECT_EQ(h.call(http::verb::get, "/v1/agent/sessions/pending", {}, h.agentToken).status, 200);
}

TEST(ControlPlaneRoutes, Bootstrap_NeedsTheConfiguredTokenExactly) {
  {
    Harness unconfigured(ControlPlaneOptions{});
    EXPECT_EQ(unconfigured.call(http::verb::get, "/v1/owner/status").body,
              R"({"ownerExists":false,"bootstrapConfigured":false})");
    const Answer refused = unconfigured.call(http::verb::post, "/v1/bootstrap/owner",
                                             R"({"displayName":"A","credentialLabel":"c"})");
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, R"({"error":"bootstrap_not_configured"})");
  }
  Harness h;
  const std::string payload = R"({"displayName":"A","credentialLabel":"c"})";
  for (const std::string given : {"", "bootstrap-secre", "bootstrap-secretx", "BOOTSTRAP-SECRET"}) {
    ControlPlaneRequest request(http::verb::post, "/v1/bootstrap/owner", 11);
    if (!given.empty())
      request.set("x-bootstrap-token", given);
    request.body() = payload;
    EXPECT_EQ(std::get<ControlPlaneResponse>(h.routes.handle(request, kClient)).result_int(), 401u)
        << given;
  }
  EXPECT_FALSE(h.store.ownerExists());
  const Answer created = h.call(http::verb::post, "/v1/bootstrap/owner", payload);
  ASSERT_EQ(created.status, 200) << created.body;
  const auto owner = decodeJSON<BootstrapOwnerResponse>(created.body);
  EXPECT_EQ(h.store.authenticate(owner.ownerToken)->kind, TokenKind::owner);
  EXPECT_EQ(h.call(http::verb::post, "/v1/bootstrap/owner", payload).status, 409);
  EXPECT_EQ(h.call(http::verb::get, "/v1/owner/status").body,
            R"({"ownerExists":true,"bootstrapConfigured":true})");
  const Answer controller =
      h.call(http::verb::post, "/v1/bootstrap/controllers", R"({"name":"cli","platform":"linux"})");
  EXPECT_EQ(decodeJSON<CreateControllerResponse>(controller.body).controller.ownerId,
            owner.owner.id);
}

TEST(ControlPlaneRoutes, UnservedAndUnknownRoutes_AnswerNotFoundOrMethodNotAllowed) {
  Harness h;
  h.populate();
  // The agent serves these itself; accounts do not exist here.
  for (const auto* target :
       {"/v1/local/direct-access", "/v1/local/direct-readiness", "/v1/controllers/security/events",
        "/v1/controllers/phone-host/snapshot", "/v1/account/controllers", "/api/auth/sign-in/email",
        "/v1/controllers/devices/", "/v1/nothing"}) {
    for (const auto method : {http::verb::get, http::verb::post}) {
      const Answer answer = h.call(method, target, "{}", h.controllerToken);
      EXPECT_EQ(answer.status, 404) << target;
      EXPECT_EQ(answer.body, R"({"error":"not_found"})") << target;
    }
  }
  EXPECT_EQ(h.call(http::verb::delete_, "/v1/controllers/devices", {}, h.controllerToken).status,
            405);
  EXPECT_EQ(h.call(http::verb::get, "/v1/controllers/devices/device_unknown", {}, h.controllerToken)
                .status,
            404);
  // Percent-encoded ids are decoded before the lookup.
  std::string encoded = h.deviceId;
  encoded.replace(0, 1, "%64");
  EXPECT_EQ(
      h.call(http::verb::get, "/v1/controllers/devices/" + encoded, {}, h.controllerToken).status,
      200);
}

TEST(ControlPlaneRoutes, BadBodiesAndQueries_AnswerBadRequestNamingTheProblem) {
  Harness h;
  h.populate();
  const auto sessionId = h.openSession();
  const std::string signals = "/v1/controllers/sessions/" + sessionId + "/signals";

  const Answer notJSON = h.call(http::verb::post, signals, "{type", h.controllerToken);
  EXPECT_EQ(notJSON.status, 400);
  EXPECT_NE(notJSON.body.find(R"("error":"invalid_json")"), std::string::npos);
  const Answer missing = h.call(http::verb::post, signals, R"({"payload":{}})", h.controllerToken);
  EXPECT_EQ(missing.status, 400);
  EXPECT_NE(missing.body.find("type"), std::string::npos) << missing.body;
  const Answer wrongType =
      h.call(http::verb::post, signals, R"({"type":"offer","payload":[]})", h.controllerToken);
  EXPECT_EQ(wrongType.status, 400);
  EXPECT_NE(wrongType.body.find("payload"), std::string::npos) << wrongType.body;
  EXPECT_EQ(h.call(http::verb::post, signals, "", h.controllerToken).status, 400);

  EXPECT_EQ(h.call(http::verb::get, signals + "?after=x", {}, h.controllerToken).body,
            R"({"error":"invalid_query","detail":"'after' must be an integer."})");
  EXPECT_EQ(h.call(http::verb::get, "/v1/agent/commands?limit=1.5", {}, h.agentToken).status, 400);
  EXPECT_EQ(h.call(http::verb::get, "/v1/agent/commands?limit=500", {}, h.agentToken).status, 200);

  // Ending needs no body at all.
  const Answer ended = h.call(http::verb::post, "/v1/controllers/sessions/" + sessionId + "/end",
                              {}, h.controllerToken);
  EXPECT_EQ(ended.status, 200) << ended.body;
  EXPECT_EQ(decodeJSON<SessionResponse>(ended.body).session.status, "ended");
  EXPECT_EQ(
      h.call(http::verb::post, signals, R"({"type":"ice","payload":{}})", h.controllerToken).body,
      R"({"error":"session_ended"})");
}

TEST(ControlPlaneRoutes, Administration_DeniesAndRevokesUnderBothPrefixes) {
  Harness h;
  h.populate();
  const auto request =
      h.store.createEnrollmentRequest({.deviceName = "Stranger", .platform = "linux"}, kClient);
  const std::string code = R"({"code":")" + request.code + R"("})";
  const Answer denied =
      h.call(http::verb::post, "/v1/owner/enrollment-requests/deny", code, h.ownerToken);
  ASSERT_EQ(denied.status, 200) << denied.body;
  EXPECT_EQ(decodeJSON<EnrollmentRequestResponse>(denied.body).request.status, "denied");
  const Answer polled = h.call(http::verb::get, "/v1/agents/enrollment-requests/" +
                                                    request.request.id + "?code=" + request.code);
  EXPECT_EQ(decodeJSON<EnrollmentClaimResponse>(polled.body).request.status, "denied");
  EXPECT_EQ(
      h.call(http::verb::post, "/v1/controllers/enrollment-requests/deny", code, h.controllerToken)
          .status,
      404);
  EXPECT_EQ(h.call(http::verb::post, "/v1/controllers/enrollment-requests/deny", code, h.agentToken)
                .status,
            403);

  const std::string revoke = "/v1/controllers/devices/" + h.deviceId + "/revoke";
  EXPECT_EQ(h.call(http::verb::post, revoke, {}, h.agentToken).status, 403);
  EXPECT_EQ(
      h.call(http::verb::post, "/v1/owner/devices/device_unknown/revoke", {}, h.ownerToken).status,
      404);
  EXPECT_EQ(h.call(http::verb::get, revoke, {}, h.controllerToken).status, 405);
  const Answer revoked = h.call(http::verb::post, revoke, {}, h.controllerToken);
  ASSERT_EQ(revoked.status, 200) << revoked.body;
  EXPECT_EQ(decodeJSON<DeviceResponse>(revoked.body).device.status, "revoked");
  EXPECT_EQ(
      h.call(http::verb::post, "/v1/owner/devices/" + h.deviceId + "/revoke", {}, h.ownerToken)
          .status,
      200);
}

TEST(ControlPlaneRoutes, SignalStreams_OpenOnlyForTheSessionsParties) {
  Harness h;
  h.populate();
  const auto sessionId = h.openSession();

  auto stream =
      h.route(http::verb::get, "/v1/agent/sessions/" + sessionId + "/signals/events?after=7", {},
              h.agentToken);
  const auto* opened = std::get_if<SignalStreamRequest>(&stream);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->sessionId, sessionId);
  EXPECT_EQ(opened->afterSequence, 7);
  EXPECT_EQ(opened->party.side, SessionParty::Side::agent);

  const auto other = h.store.createController(h.store.authenticate(h.ownerToken)->ownerId,
                                              {.name = "Other", .platform = "web"});
  EXPECT_EQ(h.call(http::verb::get, "/v1/controllers/sessions/" + sessionId + "/signals/events", {},
                   other.controllerToken)
                .status,
            404);
}

TEST(ControlPlaneRoutes, Options_ComeFromTheEnvironmentWithoutRelays) {
  const auto options = ControlPlaneOptions::fromEnvironment(
      {{"TAVOLIN_CONTROL_PLANE_STUN_URLS",
        " stun:a.example:3478, turn:b.example,, TURNS:c , stun:d"},
       {"TAVOLIN_BOOTSTRAP_TOKEN", ""}});
  ASSERT_EQ(options.iceServers.size(), 1u);
  EXPECT_EQ(options.iceServers[0].urls,
            (std::vector<std::string>{"stun:a.example:3478", "stun:d"}));
  EXPECT_FALSE(options.bootstrapToken);
  EXPECT_TRUE(ControlPlaneOptions::fromEnvironment({}).iceServers.empty());
}

}  // namespace
}  // namespace tavolin
