#include "TavolinMacAgent/LocalNetwork/PhoneHostMode.hpp"

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/PhoneHost/PhoneHostHealth.hpp"
#include "TavolinCore/Records/ScreenFrameRecord.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin {
namespace {

constexpr std::string_view readyMessage =
    "Ready. Start iPhone sharing from this laptop, then approve Tavolin in the iPhone Screen "
    "Broadcast prompt.";
constexpr std::string_view framesPath = "/v1/controllers/phone-host/frames";

// Offered while the mode is on, in this order.
const std::vector<PhoneViewerCapability>& advertisedCapabilities() {
  using Capability = PhoneViewerCapability;
  static const std::vector<Capability> capabilities{
      Capability::screenView, Capability::localClipboard, Capability::mediaTransfer,
      Capability::appleIPhoneMirroring, Capability::inAppControls};
  return capabilities;
}

}  // namespace

PhoneHostMode::PhoneHostMode(Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

void PhoneHostMode::requirePhoneHostModeEnabled() const {
  if (!dependencies_.enabled())
    throw LocalHTTPError::notFound("phone_host_mode_disabled");
}

std::vector<PhoneViewerCapability> PhoneHostMode::capabilities() const {
  return dependencies_.enabled() ? advertisedCapabilities() : std::vector<PhoneViewerCapability>{};
}

void PhoneHostMode::audit(const LocalControllerAuth& controller, std::string_view method,
                          std::string_view path, std::string_view outcome,
                          std::string_view detail) {
  const std::string controllerId = LocalControllerAuthenticator::controllerId(controller.publicKey);
  dependencies_.auditStore.record({.remoteAddress = controller.remoteAddress,
                                   .route = controller.routeName,
                                   .method = method,
                                   .path = path,
                                   .outcome = outcome,
                                   .detail = detail,
                                   .controllerId = controllerId});
}

PhoneHostSnapshot PhoneHostMode::phoneHostSnapshot() const {
  const Date current = now();
  if (phoneHostLatestSnapshot_)
    return phoneHostSnapshotWithCurrentHealth(*phoneHostLatestSnapshot_, current);
  PhoneHostSnapshot ready;
  ready.state = PhoneBroadcastState::ready;
  ready.routeName = "local-network";
  ready.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  ready.capabilities = capabilities();
  ready = phoneHostSnapshotWithCurrentHealth(std::move(ready), current);
  // Before anything happened, how to begin says more than the waiting verdict does.
  ready.statusMessage = std::string(readyMessage);
  return ready;
}

PhoneHostSnapshot PhoneHostMode::start(const LocalControllerAuth& controller,
                                       const LocalHTTPRequest& request) {
  const Date current = now();
  PhoneHostSnapshot requested;
  requested.state = PhoneBroadcastState::waitingForReplayKitConsent;
  requested.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  requested.activeViewerCount = 1;
  requested.capabilities = capabilities();
  requested.streamHealth = PhoneHostStreamHealth::waiting;
  requested.statusMessage = std::string(PhoneHostHealth::consentMessage);
  requested.updatedAt = TavolinISO8601::string(current);
  phoneHostLatestSnapshot_ = requested;
  audit(controller, request.method, request.path, SecurityOutcome::phoneViewerStartRequested,
        "Laptop requested iPhone Host Mode broadcast consent");
  return phoneHostSnapshotWithCurrentHealth(std::move(requested), current);
}

PhoneHostSnapshot PhoneHostMode::stop(const LocalControllerAuth& controller,
                                      const LocalHTTPRequest& request) {
  const Date current = now();
  phoneHostLatestFrame_.reset();
  PhoneHostSnapshot stopped;
  stopped.state = PhoneBroadcastState::stopped;
  stopped.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  stopped.capabilities = capabilities();
  stopped.updatedAt = TavolinISO8601::string(current);
  phoneHostLatestSnapshot_ = stopped;
  audit(controller, request.method, request.path, SecurityOutcome::phoneViewerStopped,
        "Desktop phone viewer cleared");
  return phoneHostSnapshotWithCurrentHealth(std::move(stopped), current);
}

PhoneHostFrameResponse PhoneHostMode::receivePhoneHostFrame(
    const PhoneHostFrameUploadPayload& payload, const LocalControllerAuth& controller) {
  if (payload.encryption != TavolinSessionCrypto::screenFrameEncryption)
    throw LocalHTTPError::badRequest("unsupported_phone_frame_encryption");
  if (payload.contentFormat != TavolinSessionCrypto::encryptedScreenFrameContentFormat)
    throw LocalHTTPError::badRequest("unsupported_phone_frame_content_format");
  const auto sealed = base64Decode(payload.imageBase64);
  if (!sealed)
    throw LocalHTTPError::badRequest("invalid_phone_frame_payload");
  std::optional<PhoneHostDesktop> desktop;
  try {
    desktop.emplace(dependencies_.desktop());
  } catch (const std::exception&) {
    throw LocalHTTPError::internalServerError("desktop_identity_unavailable");
  }
  // A frame that does not open answers 500 with the cryptography error's description.
  const Bytes jpeg = TavolinSessionCrypto::decryptScreenFrame(
      *sealed, desktop->identity.privateKey(), payload.senderPublicKey, payload.streamId);

  const Date current = now();
  const std::string receivedAt = TavolinISO8601::string(current);
  ScreenFrame frame = screenFrameRecord(
      "phone_frame_", jpeg,
      {payload.width, payload.height, payload.displayWidth, payload.displayHeight},
      payload.capturedAt, receivedAt);
  frame.sessionId = payload.streamId;
  frame.deviceId = payload.deviceName;
  frame.format = "jpeg";
  frame.contentFormat = "jpeg";

  metrics_.recordPhoneHostMetrics(current, frame.byteLength);
  PhoneHostFrameInfo info;
  info.frameId = payload.frameId;
  info.width = payload.width;
  info.height = payload.height;
  info.byteLength = payload.byteLength;
  info.capturedAt = payload.capturedAt;
  info.receivedAt = receivedAt;
  info.framesPerSecond = metrics_.phoneHostFramesPerSecond(current);
  info.bitrateKbps = metrics_.phoneHostBitrateKbps(current);
  info.latencyMilliseconds =
      PhoneHostMetrics::phoneHostLatencyMilliseconds(payload.capturedAt, current);
  info.qualityPreset = payload.qualityPreset;
  auto health = phoneHostStreamHealth(payload.broadcastState, info, current);

  PhoneHostSnapshot snapshot;
  snapshot.state = payload.broadcastState;
  snapshot.streamId = payload.streamId;
  snapshot.deviceName = payload.deviceName;
  snapshot.routeName = payload.routeName;
  snapshot.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  snapshot.activeViewerCount = 1;
  snapshot.trustedViewers = {TrustedDesktopDevice{
      .id = desktop->deviceId,
      .name = desktop->name,
      .platform = desktop->platform,
      .publicKey = desktop->identity.publicKeyBase64URL(),
      .routeName = payload.routeName,
      .pairedAt = receivedAt,
  }};
  snapshot.capabilities = capabilities();
  snapshot.latestFrame = std::move(info);
  snapshot.streamHealth = health.health;
  snapshot.statusMessage = std::move(health.statusMessage);
  snapshot.secondsSinceLastFrame = health.secondsSinceLastFrame;
  snapshot.qualityPreset = payload.qualityPreset;
  snapshot.updatedAt = receivedAt;

  const std::string detail = std::to_string(payload.width) + "x" + std::to_string(payload.height) +
                             ", " + std::to_string(frame.byteLength) + " bytes";
  phoneHostLatestFrame_ = std::move(frame);
  phoneHostLatestSnapshot_ = snapshot;
  // Every accepted frame is logged; the store's event limit bounds the log.
  audit(controller, "POST", framesPath, SecurityOutcome::phoneFrameReceived, detail);
  return {true, std::move(snapshot)};
}

PhoneHostLatestFrameResponse PhoneHostMode::latestFrame() const {
  return {phoneHostLatestFrame_, phoneHostSnapshot()};
}

PhoneMirroringResponse PhoneHostMode::openPhoneMirroring(const LocalControllerAuth& controller,
                                                         const LocalHTTPRequest& request) {
  audit(controller, request.method, request.path, SecurityOutcome::iphoneMirroringUnavailable,
        "Apple iPhone Mirroring app was not found");
  return {.opened = false};
}

}  // namespace tavolin
