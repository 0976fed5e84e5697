#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/WebPairRecords.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"
#include "TavolinMacAgent/Streaming/PublisherSignaling.hpp"
#include "tests/TavolinMacAgent/LocalNetwork/LocalNetworkControlPlaneFixture.hpp"

namespace tavolin {
namespace {

using testing::LocalNetworkControlPlaneTest;

TEST_F(LocalNetworkControlPlaneTest, FirstLevelDispatch_PageIconPreflightAndErrorShape) {
  const auto page = send("GET", "/");
  EXPECT_EQ(page.statusCode, 200);
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  EXPECT_EQ(page.extraHeaders.size(), 5u);
  EXPECT_EQ(send("GET", "/index.html").body, page.body);
  EXPECT_EQ(send("GET", "/favicon.svg").contentType, "image/svg+xml");
  // The page carries no inline code, so it runs under the assets' policy without
  // 'unsafe-inline'; it loads its style sheet and entry module from /console/.
  EXPECT_EQ(page.body.find("<script>"), std::string::npos);
  EXPECT_EQ(page.body.find("<style"), std::string::npos);
  EXPECT_EQ(page.body.find("style="), std::string::npos);
  EXPECT_NE(page.body.find("src=\"/console/app.js\""), std::string::npos);
  EXPECT_NE(page.body.find("href=\"/console/console.css\""), std::string::npos);
  for (const auto& [path, type] :
       {std::pair{"/console/app.js", "text/javascript; charset=utf-8"},
        std::pair{"/console/crypto.js", "text/javascript; charset=utf-8"},
        std::pair{"/console/console.css", "text/css; charset=utf-8"}}) {
    SCOPED_TRACE(path);
    const auto asset = send("GET", path);
    EXPECT_EQ(asset.statusCode, 200);
    EXPECT_EQ(asset.contentType, type);
    EXPECT_FALSE(asset.body.empty());
    const auto& headers = asset.extraHeaders;
    EXPECT_EQ(headers.at("Cache-Control"), "no-store");
    EXPECT_EQ(headers.at("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(headers.at("Content-Security-Policy").find("unsafe-inline"), std::string::npos);
  }
  for (const char* unknown : {"/console/", "/console/missing.js", "/console/index.html"})
    EXPECT_EQ(send("GET", unknown).body, R"({"error":"route_not_found"})") << unknown;

  const auto preflight = send("OPTIONS", "/v1/anything");
  EXPECT_EQ(preflight.statusCode, 204);
  EXPECT_TRUE(preflight.body.empty());

  const auto postPage = send("POST", "/");
  EXPECT_EQ(postPage.statusCode, 404);
  EXPECT_EQ(postPage.body, R"({"error":"route_not_found"})");
  EXPECT_EQ(send("POST", "/v1/controllers/sessions", "{", localAuth()).body,
            R"({"error":"invalid_json_body"})");
}

TEST_F(LocalNetworkControlPlaneTest, WebPairing_AnswersDeviceAndDirectAccessButNeverTheCode) {
  WebPairRequest pairing{"12345678", controllerPublicKey};
  const auto response = send("POST", "/v1/web/pair", encodeJSON(pairing));
  ASSERT_EQ(response.statusCode, 200) << response.body;
  const auto paired = decoded<WebPairResponse>(response);
  EXPECT_EQ(paired.routeName, "local-network");
  EXPECT_EQ(paired.device.platform, "linux");
  EXPECT_EQ(paired.device.name, "Desk");
  EXPECT_TRUE(paired.device.id.starts_with("local-mac-"));
  EXPECT_EQ(paired.device.id.find(':'), std::string::npos);
  EXPECT_EQ(paired.directAccess.tokenSecret.size(), 43u);
  EXPECT_EQ(paired.directAccess.recommendedExternalPort, 443);
  EXPECT_EQ(response.body.find("12345678"), std::string::npos);

  // The secret it handed out is a working direct-access credential.
  const auto devices =
      send("GET", "/v1/controllers/devices", {},
           {{"authorization",
             "Bearer direct.v1." + paired.directAccess.tokenSecret + "." + controllerPublicKey}});
  EXPECT_EQ(devices.statusCode, 200) << devices.body;
  EXPECT_EQ(decoded<DevicesResponse>(devices).devices.size(), 1u);

  pairing.pairingCode = "1234567";
  EXPECT_EQ(send("POST", "/v1/web/pair", encodeJSON(pairing)).body,
            R"({"error":"invalid_web_pairing_code"})");
}

TEST_F(LocalNetworkControlPlaneTest, Sessions_OneAtATimeWithTransportMetadataAndPublishers) {
  startPlane();
  // Without a native path here, asking for it gets WebRTC, and the metadata says so.
  const auto first = createSession({{"requestedVideoTransport", " AUTO "}});
  EXPECT_EQ(*first.metadata.find("videoTransport")->string(), "webrtc");
  EXPECT_EQ(*first.metadata.find("nativeVideoToolboxAvailable"), JSONValue(false));
  EXPECT_EQ(*first.metadata.find("videoTransportFallback")->string(), "webrtc");
  EXPECT_EQ(*first.metadata.find("requestedVideoTransport")->string(), "auto");
  EXPECT_EQ(*first.metadata.find("controllerPublicKey")->string(), controllerPublicKey);
  EXPECT_EQ(*first.metadata.find("route")->string(), "local-network");
  ASSERT_EQ(publishers.size(), 1u);
  EXPECT_TRUE(publishers[0]->started);
  EXPECT_EQ(publisherRequests[0].session.id, first.id);
  EXPECT_EQ(publisherRequests[0].apiBaseURL,
            "http://127.0.0.1:" + std::to_string(*plane->status().port));

  const auto second = createSession({{"webConsole", true}});
  EXPECT_EQ(*second.metadata.find("videoTransport")->string(), "encrypted_jpeg");
  EXPECT_EQ(second.metadata.find("nativeVideoCodecs")->array()->size(), 0u);
  EXPECT_EQ(publishers.size(), 1u) << "still-frame sessions stream nothing";
  EXPECT_TRUE(publishers[0]->stopped);

  const auto read = send("GET", "/v1/controllers/sessions/" + first.id, {}, localAuth());
  EXPECT_EQ(decoded<SessionResponse>(read).session.status, "ended");
  EXPECT_EQ(plane->activeSessions().size(), 1u);

  const auto unknownEnd = send("POST", "/v1/controllers/sessions/nope/end", "{}", localAuth());
  const auto placeholder = decoded<SessionResponse>(unknownEnd).session;
  EXPECT_EQ(placeholder.controllerId, "local-controller");
  EXPECT_EQ(placeholder.transportMode, "hybrid");
  EXPECT_EQ(send("POST", "/v1/controllers/sessions/nope/end", "{}", localAuth()).body,
            unknownEnd.body);
  EXPECT_EQ(send("GET", "/v1/controllers/sessions/missing", {}, localAuth()).body,
            R"({"error":"session_not_found"})");
}

TEST_F(LocalNetworkControlPlaneTest, Signals_SequencedPerSessionAndFilteredBySender) {
  const auto session = createSession({{"webConsole", true}});
  const std::string base = "/v1/controllers/sessions/" + session.id + "/signals";
  const std::string agentBase = "/v1/agent/sessions/" + session.id + "/signals";
  const auto offer = send("POST", agentBase, R"({"type":"offer","payload":{}})", localAuth());
  EXPECT_EQ(offer.statusCode, 401) << "the agent routes want the agent token";

  const auto first =
      send("POST", base, R"({"type":"quality","payload":{"quality":"480p"}})", localAuth());
  EXPECT_EQ(first.statusCode, 201);
  EXPECT_EQ(decoded<SignalResponse>(first).signal.sequence, 1);
  send("POST", base, R"({"type":"answer","payload":{}})", localAuth());

  // The controller never reads its own signals back.
  EXPECT_TRUE(
      decoded<SignalsResponse>(send("GET", base + "?after=0", {}, localAuth())).signals.empty());
  EXPECT_TRUE(
      decoded<SignalsResponse>(send("GET", base + "?after=x", {}, localAuth())).signals.empty());
  EXPECT_EQ(send("GET", "/v1/controllers/sessions/unknown/signals", {}, localAuth()).statusCode,
            404);

  // The quality signal sized the still frames: 480p is 853 wide.
  const auto frame =
      send("GET", "/v1/controllers/sessions/" + session.id + "/screen/latest", {}, localAuth());
  ASSERT_EQ(frame.statusCode, 200) << frame.body;
  EXPECT_EQ(decoded<ScreenFrameResponse>(frame).frame.width, 853);
}

TEST_F(LocalNetworkControlPlaneTest, StillFrame_SealedForTheControllerAndSession) {
  const auto session = createSession({{"webConsole", true}});
  const auto response =
      send("GET", "/v1/controllers/sessions/" + session.id + "/screen/latest", {}, localAuth());
  ASSERT_EQ(response.statusCode, 200) << response.body;
  const auto frame = decoded<ScreenFrameResponse>(response).frame;
  EXPECT_EQ(frame.format, "jpeg+a256gcm");
  EXPECT_EQ(frame.width, 1920);
  EXPECT_EQ(frame.displayWidth, 1920);

  const auto sealed = base64Decode(frame.imageBase64);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(static_cast<std::int64_t>(sealed->size()), frame.byteLength);
  const auto device = DeviceIdentity::loadOrCreate(*tokenStore);
  const Bytes jpeg = TavolinSessionCrypto::decryptScreenFrame(
      *sealed, controllerKey, device.publicKeyBase64URL(), session.id);
  ASSERT_GE(jpeg.size(), 2u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_THROW(TavolinSessionCrypto::decryptScreenFrame(*sealed, controllerKey,
                                                        device.publicKeyBase64URL(), "other"),
               std::exception);

  capture->setFailing(true);
  EXPECT_EQ(
      send("GET", "/v1/controllers/sessions/" + session.id + "/screen/latest", {}, localAuth())
          .statusCode,
      500);
}

TEST_F(LocalNetworkControlPlaneTest, Commands_ExecutedAtOnceAndStored) {
  const auto session = createSession({{"webConsole", true}});
  const auto response = send("POST", "/v1/controllers/sessions/" + session.id + "/commands",
                             R"({"type":"benchmark_noop","payload":{"sequence":7}})", localAuth());
  ASSERT_EQ(response.statusCode, 201) << response.body;
  const auto command = decoded<CommandResponse>(response).command;
  EXPECT_EQ(command.status, "succeeded");
  EXPECT_EQ(*command.result->find("sequence")->number(), 7);
  EXPECT_TRUE(command.id.starts_with("local_cmd_"));

  const auto stored = send("GET", "/v1/controllers/commands/" + command.id, {}, localAuth());
  EXPECT_EQ(decoded<CommandResponse>(stored).command, command);
  EXPECT_EQ(send("GET", "/v1/controllers/commands/none", {}, localAuth()).body,
            R"({"error":"command_not_found"})");

  const auto unknownType = send("POST", "/v1/controllers/sessions/" + session.id + "/commands",
                                R"({"type":"Benchmark_noop","payload":{}})", localAuth());
  EXPECT_EQ(decoded<CommandResponse>(unknownType).command.status, "failed");
}

TEST_F(LocalNetworkControlPlaneTest, PublisherSignaling_ControllerSignalsArriveOnceInOrder) {
  startPlane();
  const auto session = createSession();
  ASSERT_EQ(publisherRequests.size(), 1u);
  const std::string signalsPath = "/v1/controllers/sessions/" + session.id + "/signals";
  for (const char* type : {"answer", "ice", "quality"}) {
    EXPECT_EQ(
        send("POST", signalsPath, encodeJSON(SignalPayload{type, {}}), localAuth()).statusCode,
        201);
  }

  std::vector<std::string> handled;
  auto signaling = PublisherSignaling::make(
      context.get_executor(),
      TavolinAPIClient(publisherRequests[0].apiBaseURL, std::make_shared<HTTPClient>()),
      publisherRequests[0].agentToken, session.id, "mac_webrtc_signal_poll");
  signaling->start([&](const TavolinSignal& signal) -> Awaitable<void> {
    handled.push_back(std::to_string(signal.sequence) + signal.type);
    co_return;
  });
  // Several poll rounds and stream attempts: each signal must still be handled once.
  context.restart();
  for (int i = 0; i < 100 && handled.size() < 3; ++i)
    context.run_for(std::chrono::milliseconds(20));
  context.run_for(std::chrono::milliseconds(400));
  signaling->stop();
  context.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(handled, (std::vector<std::string>{"1answer", "2ice", "3quality"}));
  EXPECT_EQ(signaling->lastSequence(), 3);

  // This server has no signal event stream: the failure is reported once, not per attempt.
  const auto fromAgent = decoded<SignalsResponse>(send("GET", signalsPath, {}, localAuth()));
  ASSERT_EQ(fromAgent.signals.size(), 1u);
  EXPECT_EQ(fromAgent.signals[0].type, "error");
  EXPECT_EQ(*fromAgent.signals[0].payload.find("phase")->string(), "mac_webrtc_signal_poll");
}

TEST_F(LocalNetworkControlPlaneTest, Transport_RemoteRoutesGetSTUNLocalOnesNone) {
  const auto local = createSession();
  const auto localConfig = decoded<TransportConfigResponse>(
      send("GET", "/v1/controllers/sessions/" + local.id + "/transport", {}, localAuth()));
  EXPECT_EQ(localConfig.mode, "direct-local");
  EXPECT_TRUE(localConfig.iceServers.empty());

  const std::string secret = plane->authenticator().directAccessSecret();
  const std::map<std::string, std::string> meshHeaders = {
      {"authorization", "Bearer direct.v1." + secret + "." + controllerPublicKey},
      {"x-forwarded-for", "100.101.1.2, 10.0.0.1"},
      {"x-forwarded-proto", "https"}};
  const auto created = send("POST", "/v1/controllers/sessions",
                            R"({"deviceId":"d","transportMode":"hybrid","metadata":{}})",
                            meshHeaders, "127.0.0.1:40000");
  ASSERT_EQ(created.statusCode, 201) << created.body;
  const auto mesh = decoded<SessionResponse>(created).session;
  EXPECT_EQ(*mesh.metadata.find("route")->string(), "private-mesh");
  EXPECT_TRUE(*mesh.metadata.find("directAccess")->boolean());
  const auto meshConfig = decoded<TransportConfigResponse>(
      send("GET", "/v1/controllers/sessions/" + mesh.id + "/transport", {}, meshHeaders,
           "127.0.0.1:40000"));
  EXPECT_EQ(meshConfig.mode, "direct-internet");
  EXPECT_FALSE(meshConfig.iceServers.empty());

  // Revoking direct access ends the mesh session only and retires the secret.
  const auto revoked = send("POST", "/v1/local/direct-access/revoke", {}, localAuth());
  ASSERT_EQ(revoked.statusCode, 200) << revoked.body;
  const auto revocation = decoded<DirectAccessRevocationResponse>(revoked);
  EXPECT_EQ(revocation.endedSessionIds, std::vector<std::string>{mesh.id});
  EXPECT_FALSE(revocation.directAccessTokenAvailable);
  EXPECT_EQ(send("GET", "/v1/controllers/devices", {}, meshHeaders, "127.0.0.1:40000").body,
            R"({"error":"invalid_direct_access_token"})");
}

TEST_F(LocalNetworkControlPlaneTest, DirectReadiness_LocalPairingOnlyWithAddressesAndMesh) {
  startPlane();
  systemInfo->addresses = {{"eth0", InterfaceAddress::Family::ipv4, "192.168.1.5"},
                           {"tailscale0", InterfaceAddress::Family::ipv4, "100.90.1.2"}};
  const auto response = send("GET", "/v1/local/direct-readiness", {}, localAuth());
  ASSERT_EQ(response.statusCode, 200) << response.body;
  const auto report = decoded<DirectReadinessResponse>(response);
  const std::string port = std::to_string(*plane->status().port);
  EXPECT_EQ(report.localAgentPort, *plane->status().port);
  EXPECT_EQ(report.localIPv4Addresses, std::vector<std::string>{"192.168.1.5"});
  EXPECT_TRUE(report.privateMesh.tailscaleInterfaceDetected);
  EXPECT_TRUE(report.privateMesh.suggestedServeCommand.ends_with("http://127.0.0.1:" + port));
  EXPECT_FALSE(report.stunURLs.empty());
  EXPECT_FALSE(report.directAccessTokenAvailable);
  EXPECT_LT(response.body.find("\"device\""), response.body.find("\"security\""));

  const std::string secret = plane->authenticator().directAccessSecret();
  EXPECT_TRUE(
      decoded<DirectReadinessResponse>(send("GET", "/v1/local/direct-readiness", {}, localAuth()))
          .directAccessTokenAvailable);
  const auto direct =
      send("GET", "/v1/local/direct-readiness", {},
           {{"authorization", "Bearer direct.v1." + secret + "." + controllerPublicKey}});
  EXPECT_EQ(direct.statusCode, 401);
  EXPECT_EQ(direct.body, R"({"error":"direct_readiness_requires_local_pairing"})");
}

TEST_F(LocalNetworkControlPlaneTest, Security_BlockedPeersRefusedAndEmergencyStopEndsSessions) {
  createSession();
  const auto blocked = send("POST", "/v1/controllers/security/blocks",
                            R"({"ipAddress":"192.168.1.99"})", localAuth());
  EXPECT_EQ(blocked.statusCode, 200) << blocked.body;
  const auto refused = send("GET", "/v1/controllers/devices", {}, localAuth(), "192.168.1.99:4000");
  EXPECT_EQ(refused.statusCode, 403);
  EXPECT_EQ(refused.body, R"({"error":"remote_peer_blocked"})");
  EXPECT_EQ(auditStore->events().front().outcome, "blocked");

  const auto stopped =
      send("POST", "/v1/controllers/security/emergency-stop",
           R"({"revokeDirectAccess":false,"endActiveSessions":true})", localAuth());
  ASSERT_EQ(stopped.statusCode, 200) << stopped.body;
  EXPECT_EQ(decoded<SecurityEmergencyStopResponse>(stopped).endedSessionIds.size(), 1u);
  EXPECT_TRUE(plane->activeSessions().empty());
  EXPECT_EQ(auditStore->events().front().outcome, "emergency_stop");
  EXPECT_EQ(*auditStore->events().front().detail,
            "Ended active sessions and revoked Direct access");
}

TEST_F(LocalNetworkControlPlaneTest, Start_AdvertisesAndReportsReadyWithTheStoredCode) {
  startPlane();
  const auto& status = plane->status();
  EXPECT_TRUE(status.isRunning) << diagnostics.str();
  ASSERT_TRUE(status.port);
  EXPECT_EQ(status.pairingCode, "12345678");
  ASSERT_TRUE(advertiser->current);
  EXPECT_EQ(advertiser->current->type, "_tavolin._tcp");
  EXPECT_EQ(advertiser->current->port, *status.port);
  EXPECT_EQ(advertiser->current->txt, (std::vector<std::pair<std::string, std::string>>{
                                          {"version", "1"}, {"platform", "linux"}}));
  EXPECT_NE(diagnostics.str().find("TAVOLIN_LOCAL_NETWORK_READY port=" +
                                   std::to_string(*status.port) + " code=12345678"),
            std::string::npos);
  advertiser->deliver({ServiceAdvertiserEvent::Kind::unavailable, "no daemon"});
  EXPECT_NE(diagnostics.str().find("TAVOLIN_LOCAL_NETWORK_SERVICE_DISCOVERY_UNAVAILABLE"),
            std::string::npos);
  plane->stop();
  EXPECT_EQ(advertiser->withdrawals, 1);
}

TEST(DirectInternetSTUN, RelaysDroppedNoneMeansNoneAndUnsetMeansTheDefault) {
  EXPECT_TRUE(directInternetSTUNServers({{"TAVOLIN_DIRECT_STUN_URLS", " NONE "}}).empty());
  EXPECT_TRUE(directInternetSTUNServers({{"TAVOLIN_DIRECT_STUN_URLS", "turn:a, turns:b"}}).empty());
  const auto kept = directInternetSTUNServers(
      {{"TAVOLIN_DIRECT_STUN_URLS", "turn:relay, stun:a:3478 ,, stun:b"}});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].urls, (std::vector<std::string>{"stun:a:3478", "stun:b"}));
  const auto fallback = directInternetSTUNServers({});
  ASSERT_EQ(fallback.size(), 1u);
  EXPECT_TRUE(fallback[0].urls.at(0).starts_with("stun:"));
}

}  // namespace
}  // namespace tavolin
