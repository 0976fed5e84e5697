#include "TavolinMacAgent/Coordinator/AgentCoordinator.hpp"

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"
#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinCore/Security/TavolinKeyPinning.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin {
namespace {

const std::string* metadataString(const RemoteSession& session, std::string_view key) {
  const JSONValue* value = session.metadata.find(key);
  const std::string* text = value ? value->string() : nullptr;
  return text && !text->empty() ? text : nullptr;
}

// Keeps whole characters: the cut text is shown to the user.
std::string boundedDescription(std::string text) {
  if (text.size() <= AgentCoordinator::maxErrorDescriptionBytes)
    return text;
  std::size_t length = AgentCoordinator::maxErrorDescriptionBytes;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
    --length;
  text.resize(length);
  return text + "…";
}

}  // namespace

std::shared_ptr<AgentCoordinator> AgentCoordinator::make(Dependencies dependencies) {
  return std::shared_ptr<AgentCoordinator>(new AgentCoordinator(std::move(dependencies)));
}

AgentCoordinator::AgentCoordinator(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
  if (!dependencies_.sleep)
    dependencies_.sleep = sleepFor;
}

void AgentCoordinator::setStatus(AgentRuntimeStatus status) {
  status_ = std::move(status);
  if (onStatusChange_)
    onStatusChange_(status_);
}

void AgentCoordinator::start() {
  if (loopTask_ && !loopTask_.isFinished())
    return;
  loopTask_ = Task::spawn(dependencies_.mainExecutor, "agent coordinator",
                          [weak = weak_from_this()]() -> Awaitable<void> {
                            if (const auto self = weak.lock())
                              co_await self->run();
                          });
}

void AgentCoordinator::emergencyStop() {
  loopTask_.cancel();
  loopTask_ = Task();
  requestStop(webRTCStreamingSessions_);
  requestStop(nativeVideoStreamingSessions_);
  AgentRuntimeStatus stopped = status_;
  stopped.connection.value = AgentConnectionState::Stopped{};
  setStatus(std::move(stopped));

  // Sessions end on the control plane too, so controllers learn at once rather than by silence.
  Task::spawn(
      dependencies_.mainExecutor, "emergency stop",
      [api = dependencies_.api, tokenStore = dependencies_.tokenStore]() -> Awaitable<void> {
        std::optional<std::string> token;
        std::vector<RemoteSession> active;
        try {
          token = tokenStore->read(TavolinTokenKey::agentToken);
          if (!token)
            co_return;
          active = (co_await api.activeSessions(*token)).sessions;
        } catch (const std::exception&) {
          co_return;
        }
        const std::optional<std::string> reason = "emergency_stop";
        for (const RemoteSession& session : active) {
          try {
            co_await api.endSession(*token, session.id, reason);
          } catch (const std::exception&) {
          }
        }
      });
}

Awaitable<void> AgentCoordinator::run() {
  const auto self = shared_from_this();
  const Clock& clock = *dependencies_.clock;
  Date nextHeartbeat = Date::min();
  Date nextScreenFrame = Date::min();
  const std::string host = hostName();

  for (;;) {
    bool failed = false;
    try {
      const std::string token = co_await agentToken();

      std::optional<std::string> deviceName;
      if (clock.now() >= nextHeartbeat) {
        const HeartbeatPayload payload =
            co_await dependencies_.snapshotProvider->heartbeatPayload();
        const DeviceResponse response = co_await dependencies_.api.heartbeat(token, payload);
        status_.lastHeartbeatAt = clock.now();
        nextHeartbeat = clock.now() + heartbeatInterval;
        deviceName = response.device.name;
      }

      const bool screenFrameDue = clock.now() >= nextScreenFrame;
      const PollStatus poll = co_await pollControlPlane(token, screenFrameDue);
      if (screenFrameDue)
        nextScreenFrame = clock.now() + fallbackFrameInterval;

      AgentRuntimeStatus online = status_;
      online.connection.value = AgentConnectionState::Online{deviceName.value_or(host)};
      online.lastError.reset();
      online.activeSessions = poll.activeSessions;
      online.activeWebRTCSessions = poll.webRTCSessions;
      online.activeNativeVideoToolboxSessions = poll.nativeVideoSessions;
      online.pendingCommands = poll.claimedCommands;
      online.uploadedScreenFrames = poll.uploadedScreenFrames;
      if (poll.uploadedScreenFrames > 0)
        online.lastScreenFrameUploadedAt = clock.now();
      setStatus(std::move(online));

      co_await dependencies_.sleep(poll.activeSessions == 0 ? Duration(idlePollInterval)
                                                            : Duration(activePollInterval));
    } catch (const std::exception& error) {
      if (isCancellation(error))
        throw;
      const std::string description = userFacingDescription(error);
      degrade(description, description);
      failed = true;
    }
    // Every failure waits the same: the next pass starts over, enrolling again when no token
    // was stored.
    if (failed)
      co_await dependencies_.sleep(errorBackOff);
  }
}

void AgentCoordinator::degrade(const std::string& description, const std::string& message) {
  AgentRuntimeStatus next = status_;
  next.lastError = boundedDescription(description);
  setStatus(next);
  next.connection.value = AgentConnectionState::Degraded{boundedDescription(message)};
  setStatus(std::move(next));
}

Awaitable<std::string> AgentCoordinator::agentToken() {
  TokenStore& store = *dependencies_.tokenStore;
  // Read every pass, so a token removed to pair again takes effect without a restart.
  if (auto stored =
          co_await runOn(*storeQueue_, [&] { return store.read(TavolinTokenKey::agentToken); }))
    co_return *stored;

  const EnrollmentRequestPayload payload = dependencies_.snapshotProvider->enrollmentPayload(
      dependencies_.identity->publicKeyBase64URL());
  const EnrollmentRequestResponse enrollment =
      co_await dependencies_.api.createEnrollmentRequest(payload);
  AgentRuntimeStatus pairing = status_;
  pairing.connection.value =
      AgentConnectionState::Pairing{enrollment.code, enrollment.request.expiresAt};
  setStatus(std::move(pairing));

  // The code stays up until the control plane says the request ended.
  for (;;) {
    co_await dependencies_.sleep(enrollmentPollInterval);
    const EnrollmentClaimResponse claim =
        co_await dependencies_.api.pollEnrollment(enrollment.request.id, enrollment.code);
    if (claim.agentToken) {
      co_await runOn(*storeQueue_,
                     [&] { store.write(*claim.agentToken, TavolinTokenKey::agentToken); });
      co_return *claim.agentToken;
    }
    if (claim.request.status == "denied" || claim.request.status == "expired")
      throw AgentError::enrollmentClosed(claim.request.status);
  }
}

Awaitable<AgentCoordinator::PollStatus> AgentCoordinator::pollControlPlane(
    const std::string& agentToken, bool uploadScreenFrame) {
  const TavolinAPIClient& api = dependencies_.api;

  const std::vector<RemoteSession> pending = (co_await api.pendingSessions(agentToken)).sessions;
  for (const RemoteSession& session : pending) {
    if (!co_await verifyTrustedController(session)) {
      const std::optional<std::string> reason = "controller_public_key_mismatch";
      try {
        co_await api.endSession(agentToken, session.id, reason);
      } catch (const std::exception& error) {
        if (isCancellation(error))
          throw;
      }
      continue;
    }
    const JSONObject metadata = acceptanceMetadata(session);
    co_await api.acceptSession(agentToken, session.id, metadata);
  }

  std::vector<RemoteSession> active;
  std::vector<std::string> untrusted;
  for (RemoteSession& session : (co_await api.activeSessions(agentToken)).sessions) {
    if (co_await verifyTrustedController(session)) {
      active.push_back(std::move(session));
    } else {
      untrusted.push_back(session.id);
    }
  }
  if (!untrusted.empty())
    endInBackground(agentToken, std::move(untrusted), "controller_public_key_mismatch");
  active = co_await pruneSupersededSessions(agentToken, std::move(active));

  std::vector<RemoteSession> webRTC, nativeVideo;
  for (const RemoteSession& session : active) {
    (effectiveVideoTransport(session) == TavolinVideoTransportMode::nativeVideoToolbox ? nativeVideo
                                                                                       : webRTC)
        .push_back(session);
  }
  reconcile(webRTCStreamingSessions_, TavolinVideoTransportMode::webRTC, agentToken, webRTC);
  reconcile(nativeVideoStreamingSessions_, TavolinVideoTransportMode::nativeVideoToolbox,
            agentToken, nativeVideo);

  PollStatus poll;
  if (uploadScreenFrame && !active.empty() &&
      metadataString(active.front(), "controllerPublicKey")) {
    const RemoteSession& session = active.front();
    // Grabbing and encoding run on the provider's queue; the copy keeps it alive meanwhile.
    const std::shared_ptr<ScreenFrameProvider> provider = dependencies_.screenFrameProvider;
    const StillFrame captured = co_await provider->frame();
    if (auto payload = encryptedScreenFrame(session, captured)) {
      co_await api.uploadScreenFrame(agentToken, session.id, *payload);
      poll.uploadedScreenFrames = 1;
    }
  }

  const std::vector<RemoteCommand> commands =
      (co_await api.claimCommands(agentToken, commandClaimLimit)).commands;
  co_await executeClaimedCommands(agentToken, commands);

  poll.activeSessions = static_cast<int>(std::max(active.size(), pending.size()));
  poll.claimedCommands = static_cast<int>(commands.size());
  poll.webRTCSessions = static_cast<int>(webRTC.size());
  poll.nativeVideoSessions = static_cast<int>(nativeVideo.size());
  co_return poll;
}

Awaitable<void> AgentCoordinator::executeClaimedCommands(
    const std::string& agentToken, const std::vector<RemoteCommand>& commands) {
  // In claim order, each completed before the next runs: a failed completion leaves the rest
  // of the batch unexecuted rather than done twice.
  for (const RemoteCommand& command : commands) {
    const CompleteCommandPayload completion = co_await dependencies_.commandExecutor->handle(
        command.sessionId, command.type, command.payload);
    co_await dependencies_.api.completeCommand(agentToken, command.id, completion);
  }
}

Awaitable<bool> AgentCoordinator::verifyTrustedController(const RemoteSession& session) {
  std::optional<std::string_view> key;
  if (const std::string* text = metadataString(session, "controllerPublicKey"))
    key = *text;
  // A refused key is an answer; failures of the store itself end the pass.
  const std::optional<std::string> refusal =
      co_await runOn(*storeQueue_, [&]() -> std::optional<std::string> {
        try {
          TavolinKeyPinning(*dependencies_.tokenStore)
              .verifyOrTrustController(session.controllerId, key);
          return std::nullopt;
        } catch (const TavolinKeyPinningError& error) {
          return error.description();
        }
      });
  if (!refusal)
    co_return true;
  degrade(*refusal, "Security block: " + *refusal);
  co_return false;
}

std::optional<ScreenFramePayload> AgentCoordinator::encryptedScreenFrame(
    const RemoteSession& session, const StillFrame& captured) const {
  const std::string* controllerKey = metadataString(session, "controllerPublicKey");
  if (!controllerKey || captured.jpeg.empty())
    return std::nullopt;
  const Bytes sealed = TavolinSessionCrypto::encryptScreenFrame(
      captured.jpeg, dependencies_.identity->privateKey(), *controllerKey, session.id);
  ScreenFramePayload payload;
  payload.format = std::string(TavolinSessionCrypto::encryptedScreenFrameFormat);
  payload.contentFormat = "jpeg";
  payload.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  payload.imageBase64 = base64Encode(sealed);
  payload.width = captured.width;
  payload.height = captured.height;
  payload.displayWidth = captured.displayWidth;
  payload.displayHeight = captured.displayHeight;
  payload.capturedAt = TavolinISO8601::string(captured.capturedAt);
  payload.byteLength = static_cast<std::int64_t>(sealed.size());
  return payload;
}

std::string AgentCoordinator::hostName() const {
  SystemInfo& system = *dependencies_.systemInfo;
  return system.computerName().value_or(system.hostName());
}

}  // namespace tavolin
