// The API route table of the local server and the session, signal, frame and command
// bookkeeping behind it. Phone host mode keeps its own state in PhoneHostMode.
#include <algorithm>
#include <charconv>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"
#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalNetworkControlPlane.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

namespace tavolin {
namespace {

std::vector<std::string_view> pathPieces(std::string_view path) {
  std::vector<std::string_view> pieces;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const auto piece = path.substr(0, slash);
    if (!piece.empty())
      pieces.push_back(piece);
    if (slash == std::string_view::npos)
      break;
    path.remove_prefix(slash + 1);
  }
  return pieces;
}

template <class Record>
Record decodeBody(const LocalHTTPRequest& request) {
  try {
    return decodeJSON<Record>(request.body);
  } catch (...) {
    throw LocalHTTPError::badRequest("invalid_json_body");
  }
}

const std::string* metadataString(const RemoteSession& session, std::string_view key) {
  const JSONValue* value = session.metadata.find(key);
  return value ? value->string() : nullptr;
}

// `after` of the signal routes: a decimal integer, else 0.
std::int64_t afterSequence(const LocalHTTPRequest& request) {
  const auto found = request.query.find("after");
  if (found == request.query.end())
    return 0;
  const std::string& text = found->second;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size())
    return 0;
  return value;
}

bool isRemoteRoute(const RemoteSession& session) {
  const std::string* route = metadataString(session, "route");
  return route && (*route == "direct-internet" || *route == "private-mesh");
}

}  // namespace

Awaitable<LocalNetworkControlPlane::RouteAnswer> LocalNetworkControlPlane::route(
    const LocalHTTPRequest& request) {
  const std::string& method = request.method;
  const std::string& path = request.path;
  const bool get = method == "GET";
  const bool post = method == "POST";
  auto& audit = *dependencies_.securityAuditStore;
  auto reply = [](int statusCode, std::string body) { return RouteAnswer{statusCode, body}; };

  // A blocked peer may not pair or read device metadata either. The agent routes carry the
  // agent's own token and serve its publishers on loopback.
  if (path.starts_with("/v1/") && !path.starts_with("/v1/agent/"))
    refuseBlockedPeer(request);

  if (post && path == "/v1/web/pair") {
    const auto payload = decodeBody<WebPairRequest>(request);
    const WebPairing pairing = authenticator_.webPair(request, payload);
    WebPairResponse response{currentDevice(), directAccessConfig(), pairing.routeName,
                             TavolinISO8601::string(now())};
    co_return reply(200, encodeJSON(response));
  }
  if (get && path == "/v1/local/device") {
    authenticator_.verifyLocalMetadataPeer(request);
    co_return reply(200, encodeJSON(DeviceResponse{currentDevice()}));
  }
  if (get && path == "/v1/controllers/devices") {
    authenticator_.verifyController(request);
    co_return reply(200, encodeJSON(DevicesResponse{{currentDevice()}}));
  }
  const auto pieces = pathPieces(path);
  if (get && pieces.size() == 4 && pieces[0] == "v1" && pieces[1] == "controllers" &&
      pieces[2] == "devices") {
    authenticator_.verifyController(request);
    Device device = currentDevice();
    DeviceSnapshot snapshot = co_await currentSnapshot();
    co_return reply(200, encodeJSON(DeviceDetailResponse{std::move(device), std::move(snapshot)}));
  }

  const auto requireLocalPairing = [&](std::string code) {
    const auto controller = authenticator_.verifyController(request);
    if (controller.kind != LocalControllerAuth::Kind::localPairing) {
      throw LocalHTTPError::unauthorized(std::move(code));
    }
  };
  if (get && path == "/v1/local/direct-access") {
    requireLocalPairing("direct_access_config_requires_local_pairing");
    co_return reply(200, encodeJSON(directAccessConfig()));
  }
  if (post && path == "/v1/local/direct-access/rotate") {
    requireLocalPairing("direct_access_rotation_requires_local_pairing");
    if (!activeSessions_.empty()) {
      throw LocalHTTPError::badRequest("direct_access_rotation_requires_no_active_sessions");
    }
    authenticator_.rotateDirectAccessSecret();
    co_return reply(200, encodeJSON(directAccessConfig()));
  }
  if (post && path == "/v1/local/direct-access/revoke") {
    requireLocalPairing("direct_access_revocation_requires_local_pairing");
    DirectAccessRevocationResponse revocation = co_await revokeDirectAccess();
    co_return reply(200, encodeJSON(revocation));
  }
  if (get && path == "/v1/local/direct-readiness") {
    requireLocalPairing("direct_readiness_requires_local_pairing");
    co_return reply(200, encodeJSON(directReadiness()));
  }

  if (path.starts_with("/v1/controllers/security/")) {
    const auto controller = authenticator_.verifyController(request);
    const std::string remote =
        SecurityAuditStore::normalizedRemoteAddress(controller.remoteAddress);
    if (get && path == "/v1/controllers/security/events") {
      co_return reply(200, encodeJSON(audit.snapshot(100)));
    }
    if (post && path == "/v1/controllers/security/blocks") {
      const auto payload = decodeBody<SecurityBlockPayload>(request);
      audit.block(payload.ipAddress, payload.durationSeconds, payload.reason);
      co_return reply(200, encodeJSON(audit.snapshot(100)));
    }
    if (post && path == "/v1/controllers/security/blocks/remove") {
      const auto payload = decodeBody<SecurityUnblockPayload>(request);
      audit.unblock(payload.ipAddress);
      co_return reply(200, encodeJSON(audit.snapshot(100)));
    }
    if (post && path == "/v1/controllers/security/retention") {
      const auto payload = decodeBody<SecurityRetentionPayload>(request);
      audit.updateRetention(payload.maxEvents, payload.retentionDays);
      audit.record({.remoteAddress = remote,
                    .route = controller.routeName,
                    .method = method,
                    .path = path,
                    .outcome = SecurityOutcome::retentionUpdated,
                    .detail = "Security audit retention updated"});
      co_return reply(200, encodeJSON(audit.snapshot(100)));
    }
    if (post && path == "/v1/controllers/security/emergency-stop") {
      const auto payload = decodeBody<SecurityEmergencyStopPayload>(request);
      SecurityEmergencyStopResponse stopped =
          co_await securityEmergencyStop(payload, remote, controller.routeName);
      co_return reply(200, encodeJSON(stopped));
    }
  }

  // While the mode is off these routes do not exist, whatever token comes with them.
  const auto phoneRoute = [&](std::string_view routeMethod,
                              std::string_view routePath) -> std::optional<LocalControllerAuth> {
    if (method != routeMethod || path != routePath)
      return std::nullopt;
    phoneHost_.requirePhoneHostModeEnabled();
    return authenticator_.verifyController(request);
  };
  if (const auto controller = phoneRoute("POST", "/v1/local/phone-viewer/open-mirroring")) {
    co_return reply(200, encodeJSON(phoneHost_.openPhoneMirroring(*controller, request)));
  }
  if (phoneRoute("GET", "/v1/controllers/phone-host/snapshot")) {
    co_return reply(200, encodeJSON(PhoneHostSnapshotResponse{phoneHost_.phoneHostSnapshot()}));
  }
  if (const auto controller = phoneRoute("POST", "/v1/controllers/phone-host/start")) {
    co_return reply(200,
                    encodeJSON(PhoneHostSnapshotResponse{phoneHost_.start(*controller, request)}));
  }
  if (const auto controller = phoneRoute("POST", "/v1/controllers/phone-host/frames")) {
    const auto payload = decodeBody<PhoneHostFrameUploadPayload>(request);
    co_return reply(200, encodeJSON(phoneHost_.receivePhoneHostFrame(payload, *controller)));
  }
  if (phoneRoute("GET", "/v1/controllers/phone-host/frame/latest")) {
    co_return reply(200, encodeJSON(phoneHost_.latestFrame()));
  }
  if (const auto controller = phoneRoute("POST", "/v1/controllers/phone-host/stop")) {
    co_return reply(200,
                    encodeJSON(PhoneHostSnapshotResponse{phoneHost_.stop(*controller, request)}));
  }

  if (post && path == "/v1/controllers/sessions") {
    const auto controller = authenticator_.verifyController(request);
    const auto payload = decodeBody<CreateSessionPayload>(request);
    RemoteSession session = co_await createLocalSession(payload, controller, request);
    co_return reply(201, encodeJSON(SessionResponse{std::move(session)}));
  }
  if (pieces.size() >= 4 && pieces[0] == "v1" &&
      (pieces[1] == "controllers" || pieces[1] == "agent") && pieces[2] == "sessions") {
    std::optional<RouteAnswer> answered = co_await sessionRoute(request, pieces);
    if (answered)
      co_return std::move(*answered);
  }
  if (get && pieces.size() == 4 && pieces[0] == "v1" && pieces[1] == "controllers" &&
      pieces[2] == "commands") {
    authenticator_.verifyController(request);
    const RemoteCommand* command = completedCommands_.find(std::string(pieces[3]), now());
    if (!command)
      throw LocalHTTPError::notFound("command_not_found");
    co_return reply(200, encodeJSON(CommandResponse{*command}));
  }
  throw LocalHTTPError::notFound("route_not_found");
}

Awaitable<std::optional<LocalNetworkControlPlane::RouteAnswer>>
LocalNetworkControlPlane::sessionRoute(const LocalHTTPRequest& request,
                                       const std::vector<std::string_view>& pieces) {
  const bool get = request.method == "GET";
  const bool post = request.method == "POST";
  const bool agent = pieces[1] == "agent";
  const std::string sessionId(pieces[3]);
  const std::string_view action = pieces.size() >= 5 ? pieces[4] : std::string_view{};
  const std::size_t count = pieces.size();
  auto authenticate = [&] {
    if (agent) {
      authenticator_.verifyAgent(request);
    } else {
      authenticator_.verifyController(request);
    }
  };

  if (!agent && get && count == 4) {
    authenticate();
    co_return RouteAnswer{200, encodeJSON(SessionResponse{requireSession(sessionId)})};
  }
  if (!agent && post && count == 5 && action == "end") {
    authenticate();
    decodeBody<EndSessionPayload>(request);
    RemoteSession ended = co_await endSession(sessionId);
    co_return RouteAnswer{200, encodeJSON(SessionResponse{std::move(ended)})};
  }
  if (get && count == 5 && action == "transport") {
    authenticate();
    co_return RouteAnswer{200, encodeJSON(transportConfig(requireSession(sessionId)))};
  }
  if (count == 5 && action == "signals" && (get || post)) {
    authenticate();
    requireSession(sessionId);
    const std::string_view sender = agent ? "agent" : "controller";
    if (get) {
      SignalsResponse response{signals(sessionId, afterSequence(request), sender)};
      co_return RouteAnswer{200, encodeJSON(response)};
    }
    const auto payload = decodeBody<SignalPayload>(request);
    co_return RouteAnswer{201,
                          encodeJSON(SignalResponse{recordSignal(sessionId, sender, payload)})};
  }
  if (!agent && get && count == 6 && action == "screen" && pieces[5] == "latest") {
    authenticate();
    const RemoteSession session = requireSession(sessionId);
    ScreenFrame frame = co_await encryptedScreenFrame(session);
    co_return RouteAnswer{200, encodeJSON(ScreenFrameResponse{std::move(frame)})};
  }
  if (!agent && post && count == 5 && action == "commands") {
    authenticate();
    const RemoteSession session = requireSession(sessionId);
    const auto payload = decodeBody<EnqueueCommandPayload>(request);
    RemoteCommand command = co_await executeCommand(session, payload);
    co_return RouteAnswer{201, encodeJSON(CommandResponse{std::move(command)})};
  }
  co_return std::nullopt;
}

const RemoteSession* LocalNetworkControlPlane::knownSession(const std::string& sessionId) const {
  if (auto found = activeSessions_.find(sessionId); found != activeSessions_.end()) {
    return &found->second;
  }
  return endedSessions_.find(sessionId, now());
}

const RemoteSession& LocalNetworkControlPlane::requireSession(const std::string& sessionId) const {
  const RemoteSession* session = knownSession(sessionId);
  if (!session)
    throw LocalHTTPError::notFound("session_not_found");
  return *session;
}

Awaitable<RemoteSession> LocalNetworkControlPlane::createLocalSession(
    const CreateSessionPayload& payload, const LocalControllerAuth& controller,
    const LocalHTTPRequest& request) {
  JSONObject metadata = payload.metadata;
  std::string requestedText;
  if (const JSONValue* value = metadata.find("requestedVideoTransport"); value && value->string()) {
    requestedText = asciiLowercased(trimmedWhitespaceAndNewlines(*value->string()));
  }
  const auto requested = TavolinVideoTransportModes::fromMetadataValue(
      requestedText.empty() ? std::nullopt : std::optional<std::string_view>(requestedText));
  const JSONValue* webConsole = metadata.find("webConsole");
  const bool stillFrames = requestedText == "encrypted_jpeg" ||
                           (webConsole && webConsole->boolean() && *webConsole->boolean());
  const bool directAccess = controller.kind == LocalControllerAuth::Kind::directAccess;
  const std::string route = directAccess ? controller.routeName : "local-network";
  const std::string_view requestedRaw = TavolinVideoTransportModes::rawValue(requested);
  const bool native = requested != TavolinVideoTransportMode::webRTC;

  metadata.set("selectedTransport", route);
  metadata.set("controllerPublicKey", controller.publicKey);
  metadata.set("requestedVideoTransport", stillFrames ? "encrypted_jpeg" : requestedRaw);
  metadata.set("videoTransport", stillFrames ? "encrypted_jpeg"
                                 : native    ? "native_videotoolbox"
                                             : "webrtc");
  metadata.set("videoTransportFallback", stillFrames ? "encrypted_jpeg" : "webrtc");
  metadata.set("nativeVideoToolboxAvailable", !stillFrames);
  metadata.set("nativeVideoCodecs",
               stillFrames ? JSONValue(JSONArray{}) : JSONValue::strings({"hevc", "h264"}));
  metadata.set("agentVersion", std::string(MacSnapshotProvider::agentVersion));
  metadata.set("route", route);
  metadata.set("directAccess", directAccess);

  RemoteSession session;
  session.id = makeIdentifier("local_session_");
  session.ownerId = std::string(ownerId);
  session.controllerId = LocalControllerAuthenticator::controllerId(controller.publicKey);
  session.deviceId = currentDeviceId();
  session.status = "active";
  session.transportMode = payload.transportMode;
  session.metadata = std::move(metadata);
  session.createdAt = TavolinISO8601::string(now());
  session.acceptedAt = session.createdAt;

  // One controller at a time.
  std::vector<std::string> others;
  for (const auto& [id, active] : activeSessions_)
    others.push_back(id);
  for (const auto& id : others)
    co_await endSession(id);

  activeSessions_[session.id] = session;
  signalsBySessionId_[session.id];
  if (stillFrames) {
    fallbackFrameSettingsBySessionId_[session.id] = FallbackFrameSettings{1920, 0.72};
  } else {
    startPublisher(session);
  }
  const std::string remote = SecurityAuditStore::normalizedRemoteAddress(controller.remoteAddress);
  dependencies_.securityAuditStore->record({.remoteAddress = remote,
                                            .route = controller.routeName,
                                            .method = request.method,
                                            .path = request.path,
                                            .outcome = SecurityOutcome::sessionStarted,
                                            .detail = "Controller session started",
                                            .controllerId = session.controllerId,
                                            .sessionId = session.id});
  co_return session;
}

void LocalNetworkControlPlane::startPublisher(const RemoteSession& session) {
  if (!dependencies_.publisherFactory || !listener_ || !listener_->port())
    return;
  SessionPublisherRequest publisherRequest{"http://127.0.0.1:" + std::to_string(*listener_->port()),
                                           localAgentToken_, session};
  auto publisher = dependencies_.publisherFactory(publisherRequest);
  if (!publisher)
    return;
  publishers_[session.id] = publisher;
  publisher->start();
}

Awaitable<RemoteSession> LocalNetworkControlPlane::endSession(const std::string& sessionId) {
  std::optional<RemoteSession> active;
  if (auto found = activeSessions_.find(sessionId); found != activeSessions_.end()) {
    active = std::move(found->second);
    activeSessions_.erase(found);
  } else if (const RemoteSession* ended = endedSessions_.find(sessionId, now())) {
    co_return *ended;
  }

  if (auto found = publishers_.find(sessionId); found != publishers_.end()) {
    auto publisher = std::move(found->second);
    publishers_.erase(found);
    co_await publisher->stop();
  }
  fallbackFrameSettingsBySessionId_.erase(sessionId);

  const std::string endedAt = TavolinISO8601::string(now());
  RemoteSession ended;
  if (active) {
    ended = std::move(*active);
  } else {
    ended.id = sessionId;
    ended.ownerId = std::string(ownerId);
    ended.controllerId = "local-controller";
    try {
      ended.deviceId = currentDeviceId();
    } catch (const LocalHTTPError&) {
      ended.deviceId = "local-device";
    }
    ended.transportMode = "hybrid";
    ended.createdAt = endedAt;
  }
  ended.status = "ended";
  ended.endedAt = endedAt;
  endedSessions_.insert(sessionId, ended, now());
  // Signals go with the sessions they belong to.
  std::erase_if(signalsBySessionId_,
                [this](const auto& entry) { return knownSession(entry.first) == nullptr; });
  co_return ended;
}

TavolinSignal LocalNetworkControlPlane::recordSignal(const std::string& sessionId,
                                                     std::string_view sender,
                                                     const SignalPayload& payload) {
  if (sender == "controller" && payload.type == "quality") {
    fallbackFrameSettingsBySessionId_[sessionId] =
        FallbackFrameSettings::fromPayload(payload.payload);
  }
  auto& list = signalsBySessionId_[sessionId];
  const RemoteSession* session = knownSession(sessionId);
  TavolinSignal signal;
  signal.sequence = list.empty() ? 1 : list.back().sequence + 1;
  signal.id = makeIdentifier("local_sig_");
  signal.sessionId = sessionId;
  signal.ownerId = session ? session->ownerId : std::string(ownerId);
  signal.controllerId = session ? session->controllerId : "local-controller";
  signal.deviceId = session ? session->deviceId : "local-device";
  signal.sender = std::string(sender);
  signal.type = payload.type;
  signal.payload = payload.payload;
  signal.createdAt = TavolinISO8601::string(now());
  list.push_back(signal);
  // A live session trades a handful of signals; a client posting without end loses its oldest.
  constexpr std::size_t kSignalsKeptPerSession = 1024;
  if (list.size() > kSignalsKeptPerSession)
    list.erase(list.begin());
  return signal;
}

std::vector<TavolinSignal> LocalNetworkControlPlane::signals(const std::string& sessionId,
                                                             std::int64_t after,
                                                             std::string_view excludeSender) const {
  std::vector<TavolinSignal> newer;
  const auto found = signalsBySessionId_.find(sessionId);
  if (found == signalsBySessionId_.end())
    return newer;
  for (const auto& signal : found->second) {
    if (signal.sequence > after && signal.sender != excludeSender)
      newer.push_back(signal);
  }
  return newer;
}

TransportConfigResponse LocalNetworkControlPlane::transportConfig(
    const RemoteSession& session) const {
  TransportConfigResponse config;
  if (isRemoteRoute(session)) {
    config.mode = config.fallbackMode = "direct-internet";
    config.iceServers = directInternetSTUNServers(dependencies_.environment);
  } else {
    config.mode = config.fallbackMode = "direct-local";
  }
  return config;
}

Awaitable<ScreenFrame> LocalNetworkControlPlane::encryptedScreenFrame(
    const RemoteSession& session) {
  const std::string* controllerKey = metadataString(session, "controllerPublicKey");
  if (!controllerKey || controllerKey->empty()) {
    throw LocalHTTPError::badRequest("missing_controller_public_key");
  }
  std::optional<int> maxDimension;
  std::optional<double> jpegQuality;
  if (auto found = fallbackFrameSettingsBySessionId_.find(session.id);
      found != fallbackFrameSettingsBySessionId_.end()) {
    maxDimension = found->second.maxDimension;
    jpegQuality = found->second.jpegQuality;
  }
  // Grabbing, scaling and encoding run on the provider's queue; other requests go on meanwhile.
  // The copy keeps the provider alive for the await whatever happens to the plane.
  const std::shared_ptr<ScreenFrameProvider> provider = dependencies_.screenFrameProvider;
  const StillFrame captured = co_await provider->frame(maxDimension, jpegQuality);
  if (captured.jpeg.empty())
    throw LocalHTTPError::notFound("screen_frame_not_available");

  const Bytes sealed = TavolinSessionCrypto::encryptScreenFrame(
      captured.jpeg, identity().privateKey(), *controllerKey, session.id);
  ScreenFrame frame;
  frame.id = makeIdentifier("local_frame_");
  frame.sessionId = session.id;
  frame.deviceId = currentDeviceId();
  frame.format = "jpeg+a256gcm";
  frame.contentFormat = "jpeg";
  frame.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
  frame.imageBase64 = base64Encode(sealed);
  frame.width = captured.width;
  frame.height = captured.height;
  frame.displayWidth = captured.displayWidth;
  frame.displayHeight = captured.displayHeight;
  frame.byteLength = static_cast<std::int64_t>(sealed.size());
  frame.capturedAt = TavolinISO8601::string(captured.capturedAt);
  frame.receivedAt = TavolinISO8601::string(now());
  co_return frame;
}

Awaitable<RemoteCommand> LocalNetworkControlPlane::executeCommand(
    const RemoteSession& session, const EnqueueCommandPayload& payload) {
  RemoteCommand command;
  command.id = makeIdentifier("local_cmd_");
  command.sessionId = session.id;
  command.controllerId = session.controllerId;
  command.deviceId = session.deviceId;
  command.type = payload.type;
  command.payload = payload.payload;
  command.idempotencyKey = payload.idempotencyKey;
  command.status = "queued";
  command.createdAt = TavolinISO8601::string(now());
  CompleteCommandPayload completion = co_await dependencies_.commandExecutor->handle(
      command.sessionId, command.type, command.payload);
  command.status = completion.status;
  command.result = std::move(completion.result);
  command.completedAt = TavolinISO8601::string(now());
  completedCommands_.insert(command.id, command, now());
  co_return command;
}

Awaitable<std::vector<std::string>> LocalNetworkControlPlane::endSessions(
    std::function<bool(const RemoteSession&)> which) {
  std::vector<std::string> ids;
  for (const auto& [id, session] : activeSessions_) {
    if (which(session))
      ids.push_back(id);
  }
  for (const auto& id : ids)
    co_await endSession(id);
  co_return ids;
}

Awaitable<DirectAccessRevocationResponse> LocalNetworkControlPlane::revokeDirectAccess() {
  DirectAccessRevocationResponse revocation;
  revocation.endedSessionIds = co_await endSessions(isRemoteRoute);
  try {
    dependencies_.tokenStore->remove(TavolinTokenKey::directAccessSecret);
  } catch (const std::exception&) {
  }
  revocation.device = currentDevice();
  revocation.revokedAt = TavolinISO8601::string(now());
  revocation.directAccessTokenAvailable = authenticator_.directAccessSecretIfPresent().has_value();
  co_return revocation;
}

Awaitable<SecurityEmergencyStopResponse> LocalNetworkControlPlane::securityEmergencyStop(
    const SecurityEmergencyStopPayload& payload, const std::string& remoteAddress,
    const std::string& route) {
  SecurityEmergencyStopResponse response;
  response.executedAt = TavolinISO8601::string(now());
  if (payload.endActiveSessions) {
    response.endedSessionIds = co_await endSessions([](const RemoteSession&) { return true; });
  }
  if (payload.revokeDirectAccess) {
    try {
      dependencies_.tokenStore->remove(TavolinTokenKey::directAccessSecret);
    } catch (const std::exception&) {
    }
  }
  auto& audit = *dependencies_.securityAuditStore;
  const std::string detail =
      payload.reason.value_or("Ended active sessions and revoked Direct access");
  audit.record({.remoteAddress = remoteAddress,
                .route = route,
                .method = "POST",
                .path = "/v1/controllers/security/emergency-stop",
                .outcome = SecurityOutcome::emergencyStop,
                .detail = detail});
  response.directAccessTokenAvailable = authenticator_.directAccessSecretIfPresent().has_value();
  response.audit = audit.snapshot(100);
  co_return response;
}

}  // namespace tavolin
