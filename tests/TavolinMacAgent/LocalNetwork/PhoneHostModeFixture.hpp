#pragma once

// The local control plane as a phone and its desktop viewer see it: uploads built as the phone
// builds them, and short forms of the phone-host routes.

#include <string>

#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/PhoneHostRecords.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "tests/TavolinMacAgent/LocalNetwork/LocalNetworkControlPlaneFixture.hpp"

namespace tavolin::testing {

class PhoneHostModeTest : public LocalNetworkControlPlaneTest {
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

}  // namespace tavolin::testing
