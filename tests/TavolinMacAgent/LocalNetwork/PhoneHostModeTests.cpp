// Phone host mode through the local routes: the switch ahead of authentication, the snapshot's
// life cycle, frames sealed for the device key, and what the audit log keeps of it.
#include <string>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/PhoneHostRecords.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "tests/TavolinMacAgent/LocalNetwork/LocalNetworkControlPlaneFixture.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

// The local control plane as a phone and its desktop viewer see it: uploads built as the phone
// builds them, and short forms of the phone-host routes.
class PhoneHostModeTest : public testing::LocalNetworkControlPlaneTest {
 protected:
  // Enough of a JPEG for a frame: the agent passes the bytes on without decoding them.
  const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9};

  // Every field of an upload but the sealed image and its size; captured 40 ms ago.
  PhoneHostFrameUploadPayload unsealedUpload(std::string streamId = "stream-1") const {
    PhoneHostFrameUploadPayload payload;
    payload.streamId = std::move(streamId);
    payload.deviceName = "Ana's iPhone";
    payload.routeName = "local-network";
    payload.frameId = *uuidFromString("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    payload.format = "jpeg+a256gcm";
    payload.contentFormat = "jpeg";
    payload.encryption = "p256-hkdf-sha256-aes-gcm";
    payload.senderPublicKey = phonePublicKey;
    payload.width = 590;
    payload.height = 1278;
    payload.displayWidth = 1179;
    payload.displayHeight = 2556;
    payload.capturedAt = TavolinISO8601::string(clock->now() - std::chrono::milliseconds(40));
    payload.broadcastState = PhoneBroadcastState::broadcasting;
    payload.qualityPreset = "balanced";
    return payload;
  }

  // An upload of `image` sealed by the phone for this computer's device key and the stream.
  PhoneHostFrameUploadPayload sealedUpload(const Bytes& image,
                                           std::string streamId = "stream-1") const {
    auto payload = unsealedUpload(streamId);
    const auto device = DeviceIdentity::loadOrCreate(*tokenStore);
    const Bytes sealed = TavolinSessionCrypto::encryptScreenFrame(
        image, phoneKey, device.publicKeyBase64URL(), streamId);
    payload.imageBase64 = base64Encode(sealed);
    payload.byteLength = static_cast<std::int64_t>(sealed.size());
    return payload;
  }

  LocalHTTPResponse post(const std::string& route, std::string body = {}) {
    return send("POST", "/v1/controllers/phone-host/" + route, std::move(body), localAuth());
  }
  LocalHTTPResponse get(const std::string& route) {
    return send("GET", "/v1/controllers/phone-host/" + route, {}, localAuth());
  }
  PhoneHostSnapshot snapshot() {
    return decoded<PhoneHostSnapshotResponse>(get("snapshot")).snapshot;
  }

  // The newest audit event is this controller's `outcome` on `path`, from the test's peer.
  void expectLatestEvent(std::string_view outcome, std::string_view detail,
                         std::string_view path) const {
    ASSERT_FALSE(auditStore->events().empty());
    const auto& event = auditStore->events().front();
    EXPECT_EQ(event.outcome, outcome);
    EXPECT_EQ(event.detail, detail);
    EXPECT_EQ(event.method, "POST");
    EXPECT_EQ(event.path, path);
    EXPECT_EQ(event.route, "local-network");
    EXPECT_EQ(event.remoteAddress, "192.168.1.20");
    EXPECT_EQ(event.controllerId, LocalControllerAuthenticator::controllerId(controllerPublicKey));
    EXPECT_EQ(event.sessionId, std::nullopt);
  }

  P256PrivateKey phoneKey = P256PrivateKey::generate();
  std::string phonePublicKey = base64URLEncode(phoneKey.publicKey().rawRepresentation());
};

TEST_F(PhoneHostModeTest, SwitchedOff_EveryRouteIsAbsentBeforeAnyTokenIsRead) {
  const std::vector<std::pair<std::string, std::string>> routes{
      {"POST", "/v1/local/phone-viewer/open-mirroring"},
      {"GET", "/v1/controllers/phone-host/snapshot"},
      {"POST", "/v1/controllers/phone-host/start"},
      {"POST", "/v1/controllers/phone-host/frames"},
      {"GET", "/v1/controllers/phone-host/frame/latest"},
      {"POST", "/v1/controllers/phone-host/stop"}};
  phoneHostMode = false;
  for (const auto& [method, path] : routes) {
    for (const auto& headers : {std::map<std::string, std::string>{}, localAuth()}) {
      const auto refused = send(method, path, {}, headers);
      EXPECT_EQ(refused.statusCode, 404) << path;
      EXPECT_EQ(refused.body, R"({"error":"phone_host_mode_disabled"})") << path;
    }
  }
  EXPECT_TRUE(auditStore->events().empty());

  // None of those tokenless requests counted as an authentication failure: twelve would have
  // locked this peer out.
  phoneHostMode = true;
  EXPECT_EQ(send("GET", "/v1/controllers/phone-host/snapshot").body,
            R"({"error":"missing_local_controller_token"})");
  EXPECT_EQ(get("snapshot").statusCode, 200);
}

TEST_F(PhoneHostModeTest, Snapshot_ReadyUntilStartedThenWaitingForConsent) {
  const auto ready = snapshot();
  EXPECT_EQ(ready.state, PhoneBroadcastState::ready);
  EXPECT_EQ(ready.routeName, "local-network");
  EXPECT_EQ(ready.encryption, "p256-hkdf-sha256-aes-gcm");
  EXPECT_EQ(ready.activeViewerCount, 0);
  EXPECT_TRUE(ready.trustedViewers.empty());
  using Capability = PhoneViewerCapability;
  EXPECT_EQ(ready.capabilities,
            (std::vector<Capability>{Capability::screenView, Capability::localClipboard,
                                     Capability::mediaTransfer, Capability::appleIPhoneMirroring,
                                     Capability::inAppControls}));
  EXPECT_EQ(ready.streamHealth, PhoneHostStreamHealth::waiting);
  EXPECT_EQ(ready.statusMessage,
            "Ready. Start iPhone sharing from this laptop, then approve Tavolin in the iPhone "
            "Screen Broadcast prompt.");
  EXPECT_EQ(ready.updatedAt, TavolinISO8601::string(clock->now()));
  EXPECT_EQ(ready.latestFrame, std::nullopt);

  const auto started = post("start");
  ASSERT_EQ(started.statusCode, 200) << started.body;
  const auto waiting = decoded<PhoneHostSnapshotResponse>(started).snapshot;
  EXPECT_EQ(waiting.state, PhoneBroadcastState::waitingForReplayKitConsent);
  EXPECT_EQ(waiting.activeViewerCount, 1);
  EXPECT_EQ(waiting.routeName, std::nullopt);
  EXPECT_EQ(waiting.streamHealth, PhoneHostStreamHealth::waiting);
  EXPECT_EQ(waiting.statusMessage,
            "Start requested from this laptop. Approve Tavolin in the iPhone Screen Broadcast "
            "prompt.");
  expectLatestEvent("phone_viewer_start_requested",
                    "Laptop requested iPhone Host Mode broadcast consent",
                    "/v1/controllers/phone-host/start");

  // The phone learns of the request by reading the snapshot, which stays put but keeps time.
  clock->advance(1500ms);
  const auto reread = snapshot();
  EXPECT_EQ(reread.state, PhoneBroadcastState::waitingForReplayKitConsent);
  EXPECT_EQ(reread.updatedAt, TavolinISO8601::string(clock->now()));
}

TEST_F(PhoneHostModeTest, Frames_OpenedWithTheDeviceKeyAndServedDecrypted) {
  const auto payload = sealedUpload(jpeg);
  const auto response = post("frames", encodeJSON(payload));
  ASSERT_EQ(response.statusCode, 200) << response.body;
  const auto accepted = decoded<PhoneHostFrameResponse>(response);
  EXPECT_TRUE(accepted.accepted);
  const auto& snapshot = accepted.snapshot;
  EXPECT_EQ(snapshot.state, PhoneBroadcastState::broadcasting);
  EXPECT_EQ(snapshot.streamId, "stream-1");
  EXPECT_EQ(snapshot.deviceName, "Ana's iPhone");
  EXPECT_EQ(snapshot.qualityPreset, "balanced");
  const std::string now = TavolinISO8601::string(clock->now());
  // This computer is listed as it lists itself to controllers.
  const auto devices = send("GET", "/v1/controllers/devices", {}, localAuth());
  const Device device = decoded<DevicesResponse>(devices).devices.at(0);
  ASSERT_EQ(snapshot.trustedViewers.size(), 1u);
  EXPECT_EQ(snapshot.trustedViewers[0], (TrustedDesktopDevice{.id = device.id,
                                                              .name = device.name,
                                                              .platform = device.platform,
                                                              .publicKey = device.publicKey,
                                                              .routeName = "local-network",
                                                              .pairedAt = now}));
  ASSERT_TRUE(snapshot.latestFrame);
  const auto& info = *snapshot.latestFrame;
  EXPECT_EQ(info.frameId, payload.frameId);
  EXPECT_EQ(info.byteLength, payload.byteLength);
  EXPECT_EQ(info.receivedAt, now);
  EXPECT_EQ(info.latencyMilliseconds, 40);
  EXPECT_EQ(info.framesPerSecond, std::nullopt) << "one frame has no rate";
  EXPECT_EQ(info.bitrateKbps, std::nullopt);
  EXPECT_EQ(snapshot.streamHealth, PhoneHostStreamHealth::live);
  EXPECT_EQ(snapshot.secondsSinceLastFrame, 0.0);

  const auto latest = decoded<PhoneHostLatestFrameResponse>(get("frame/latest"));
  ASSERT_TRUE(latest.frame);
  EXPECT_EQ(latest.frame->imageBase64, base64Encode(jpeg));
  EXPECT_EQ(latest.frame->byteLength, static_cast<std::int64_t>(jpeg.size()));
  EXPECT_TRUE(latest.frame->id.starts_with("phone_frame_"));
  EXPECT_EQ(latest.frame->capturedAt, payload.capturedAt);
  EXPECT_EQ(latest.snapshot.latestFrame, snapshot.latestFrame);
  expectLatestEvent("phone_frame_received", "590x1278, 13 bytes",
                    "/v1/controllers/phone-host/frames");
}

TEST_F(PhoneHostModeTest, Frames_RateOnArrivalHealthOnEveryRead) {
  ASSERT_EQ(post("frames", encodeJSON(sealedUpload(jpeg))).statusCode, 200);
  clock->advance(100ms);
  const auto second = post("frames", encodeJSON(sealedUpload(jpeg)));
  const auto live = decoded<PhoneHostFrameResponse>(second).snapshot;
  EXPECT_NEAR(*live.latestFrame->framesPerSecond, 10.0, 1e-9);
  // Bits of the opened JPEGs, not of the sealed uploads.
  EXPECT_NEAR(*live.latestFrame->bitrateKbps, 2 * 13 * 8 / 0.1 / 1000, 1e-9);
  EXPECT_EQ(live.streamHealth, PhoneHostStreamHealth::live);

  clock->advance(3s);
  EXPECT_EQ(snapshot().streamHealth, PhoneHostStreamHealth::slow);
  clock->advance(3s);
  const auto stale = snapshot();
  EXPECT_EQ(stale.streamHealth, PhoneHostStreamHealth::stale);
  EXPECT_EQ(stale.statusMessage,
            "No iPhone frames received for 6 seconds. Check that Screen Broadcast is still "
            "running.");
}

TEST_F(PhoneHostModeTest, Frames_RefusedOnesLeaveTheKeptFrameAlone) {
  const auto kept = sealedUpload(jpeg);
  ASSERT_EQ(post("frames", encodeJSON(kept)).statusCode, 200);

  const auto refusal = [&](const PhoneHostFrameUploadPayload& payload) {
    const auto response = post("frames", encodeJSON(payload));
    return std::to_string(response.statusCode) + " " + response.body;
  };
  const Bytes other{0xFF, 0xD8, 0x00, 0xFF, 0xD9};
  auto payload = sealedUpload(other);
  payload.contentFormat = "png";
  EXPECT_EQ(refusal(payload), R"(400 {"error":"unsupported_phone_frame_content_format"})");
  payload = sealedUpload(other);
  payload.encryption = "P256-HKDF-SHA256-AES-GCM";
  EXPECT_EQ(refusal(payload), R"(400 {"error":"unsupported_phone_frame_encryption"})");
  payload = sealedUpload(other);
  payload.imageBase64 = "AAAA-_==";
  EXPECT_EQ(refusal(payload), R"(400 {"error":"invalid_phone_frame_payload"})");
  // The key is bound to the stream: sealed for one, posted as another.
  payload = sealedUpload(other);
  payload.streamId = "stream-2";
  EXPECT_EQ(refusal(payload),
            "500 {\"error\":\"" + CryptoError::authenticationFailure().description() + "\"}");
  payload = sealedUpload(other);
  payload.senderPublicKey = "not*base64";
  EXPECT_EQ(refusal(payload), R"(500 {"error":"The peer public key is not valid."})");

  // A frame id that is not a UUID makes the body something other than the record.
  std::string body = encodeJSON(sealedUpload(other));
  body.replace(body.find("\"frameId\":\""), 11, "\"frameId\":\"x");
  EXPECT_EQ(post("frames", body).body, R"({"error":"invalid_json_body"})");

  const auto latest = decoded<PhoneHostLatestFrameResponse>(get("frame/latest"));
  ASSERT_TRUE(latest.frame);
  EXPECT_EQ(latest.frame->imageBase64, base64Encode(jpeg));
  EXPECT_EQ(latest.snapshot.latestFrame->byteLength, kept.byteLength);
  EXPECT_EQ(
      std::count_if(auditStore->events().begin(), auditStore->events().end(),
                    [](const auto& event) { return event.outcome == "phone_frame_received"; }),
      1);
}

TEST_F(PhoneHostModeTest, Frames_WithoutADeviceIdentityAnswerItsOwnCode) {
  // Pins the controller key first; after that the store takes no writes, so no identity can be
  // created.
  ASSERT_EQ(get("snapshot").statusCode, 200);
  tokenStore->failWrite = true;
  auto payload = unsealedUpload();
  payload.imageBase64 = base64Encode(Bytes(40, 0x01));
  EXPECT_EQ(post("frames", encodeJSON(payload)).body,
            R"({"error":"desktop_identity_unavailable"})");
}

TEST_F(PhoneHostModeTest, Stop_DropsTheFrameAndReadsStoppedFromThenOn) {
  ASSERT_EQ(post("frames", encodeJSON(sealedUpload(jpeg))).statusCode, 200);
  const auto response = post("stop");
  ASSERT_EQ(response.statusCode, 200) << response.body;
  const auto stopped = decoded<PhoneHostSnapshotResponse>(response).snapshot;
  EXPECT_EQ(stopped.state, PhoneBroadcastState::stopped);
  EXPECT_EQ(stopped.activeViewerCount, 0);
  EXPECT_EQ(stopped.streamHealth, PhoneHostStreamHealth::stopped);
  EXPECT_EQ(stopped.statusMessage, "iPhone sharing is stopped.");
  EXPECT_EQ(stopped.latestFrame, std::nullopt);
  EXPECT_EQ(stopped.capabilities.size(), 5u);
  expectLatestEvent("phone_viewer_stopped", "Desktop phone viewer cleared",
                    "/v1/controllers/phone-host/stop");

  clock->advance(30s);
  const auto latest = get("frame/latest");
  EXPECT_EQ(latest.body.find("\"frame\""), std::string::npos) << latest.body;
  const auto after = decoded<PhoneHostLatestFrameResponse>(latest).snapshot;
  EXPECT_EQ(after.state, PhoneBroadcastState::stopped);
  EXPECT_EQ(after.streamHealth, PhoneHostStreamHealth::stopped);
}

TEST_F(PhoneHostModeTest, Mirroring_UnavailableHereAndAudited) {
  EXPECT_EQ(send("POST", "/v1/local/phone-viewer/open-mirroring").statusCode, 401);
  const auto response = send("POST", "/v1/local/phone-viewer/open-mirroring", {}, localAuth());
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.body, R"({"opened":false,"capability":"appleIPhoneMirroring"})");
  expectLatestEvent("iphone_mirroring_unavailable", "Apple iPhone Mirroring app was not found",
                    "/v1/local/phone-viewer/open-mirroring");
}

}  // namespace
}  // namespace tavolin
