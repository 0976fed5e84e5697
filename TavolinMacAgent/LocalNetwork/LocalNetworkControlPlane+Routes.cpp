// The API route table of the local server and the session, signal, frame and command
// bookkeeping behind it. Phone host mode keeps its own state in PhoneHostMode.
#include <algorithm>
#include <charconv>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/HTTP/PathPattern.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/ScreenFrameRecord.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"
#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalNetworkControlPlane.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

namespace tavolin {
namespace {

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

std::string_view sessionParty(bool agent) {
  return agent ? "agent" : "controller";
}

bool isRemoteRoute(const RemoteSession& session) {
  const std::string* route = metadataString(session, "route");
  return route && (*route == "direct-internet" || *route == "private-mesh");
}

}  // namespace

Awaitable<LocalNetworkControlPlane::RouteAnswer> LocalNetworkControlPlane::route(
    const LocalHTTPRequest& request) {
  const std::string& path = request.path;
  // A blocked peer may not pair or read device metadata either. The agent routes carry the
  // agent's own token and serve its publishers on loopback.
  if (path.starts_with("/v1/") && !path.starts_with("/v1/agent/"))
    refuseBlockedPeer(request);

  const auto pieces = pathPieces(path);
  std::vector<std::string> parameters;
  for (const Route& route : routes_) {
    if (route.method != request.method)
      continue;
    const bool matched = route.pattern.empty() ? path == route.path
                                               : matchPathPattern<std::string_view>(
                                                     route.pattern, pieces, parameters);
    if (matched)
      co_return co_await route.handler(request, parameters);
  }
  // No route of its own, but what lies under the security prefix is for controllers only.
  if (path.starts_with("/v1/controllers/security/"))
    authenticator_.verifyController(request);
  throw LocalHTTPError::notFound("route_not_found");
}

void LocalNetworkControlPlane::addRoute(std::string_view method, std::string_view path,
                                        RouteHandler handler) {
  // Fixed paths compare as whole strings; only those with parameters go by pieces.
  PathPattern pattern = pathPieces(path);
  if (std::find(pattern.begin(), pattern.end(), ":") == pattern.end())
    pattern.clear();
  routes_.push_back({method, path, std::move(pattern), std::move(handler)});
}

void LocalNetworkControlPlane::addRoutes() {
  using Parameters = const std::vector<std::string>&;
  using Request = const LocalHTTPRequest&;
  auto& audit = *dependencies_.securityAuditStore;

  addRoute("POST", "/v1/web/pair", [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
    const auto payload = decodeBody<WebPairRequest>(request);
    const WebPairing pairing = authenticator_.webPair(request, payload);
    WebPairResponse response{currentDevice(), directAccessConfig(), pairing.routeName,
                             TavolinISO8601::string(now())};
    co_return RouteAnswer{200, encodeJSON(response)};
  });
  addRoute("GET", "/v1/local/device",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyLocalMetadataPeer(request);
             co_return RouteAnswer{200, encodeJSON(DeviceResponse{currentDevice()})};
           });
  addRoute("GET", "/v1/controllers/devices",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             co_return RouteAnswer{200, encodeJSON(DevicesResponse{{currentDevice()}})};
           });
  // The id is not compared: there is only this device.
  addRoute("GET", "/v1/controllers/devices/:",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             Device device = currentDevice();
             DeviceSnapshot snapshot = co_await currentSnapshot();
             co_return RouteAnswer{
                 200, encodeJSON(DeviceDetailResponse{std::move(device), std::move(snapshot)})};
           });

  addRoute("GET", "/v1/local/direct-access",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             requireLocalPairing(request, "direct_access_config_requires_local_pairing");
             co_return RouteAnswer{200, encodeJSON(directAccessConfig())};
           });
  addRoute(
      "POST", "/v1/local/direct-access/rotate",
      [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
        requireLocalPairing(request, "direct_access_rotation_requires_local_pairing");
        if (!sessions_.active().empty()) {
          throw LocalHTTPError::badRequest("direct_access_rotation_requires_no_active_sessions");
        }
        authenticator_.rotateDirectAccessSecret();
        co_return RouteAnswer{200, encodeJSON(directAccessConfig())};
      });
  addRoute("POST", "/v1/local/direct-access/revoke",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             requireLocalPairing(request, "direct_access_revocation_requires_local_pairing");
             DirectAccessRevocationResponse revocation = co_await revokeDirectAccess();
             co_return RouteAnswer{200, encodeJSON(revocation)};
           });
  addRoute("GET", "/v1/local/direct-readiness",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             requireLocalPairing(request, "direct_readiness_requires_local_pairing");
             co_return RouteAnswer{200, encodeJSON(directReadiness())};
           });

  addRoute("GET", "/v1/controllers/security/events",
           [this, &audit](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             co_return RouteAnswer{200, encodeJSON(audit.snapshot(100))};
           });
  addRoute("POST", "/v1/controllers/security/blocks",
           [this, &audit](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             const auto payload = decodeBody<SecurityBlockPayload>(request);
             audit.block(payload.ipAddress, payload.durationSeconds, payload.reason);
             co_return RouteAnswer{200, encodeJSON(audit.snapshot(100))};
           });
  addRoute("POST", "/v1/controllers/security/blocks/remove",
           [this, &audit](Request request, Parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             const auto payload = decodeBody<SecurityUnblockPayload>(request);
             audit.unblock(payload.ipAddress);
             co_return RouteAnswer{200, encodeJSON(audit.snapshot(100))};
           });
  addRoute("POST", "/v1/controllers/security/retention",
           [this, &audit](Request request, Parameters) -> Awaitable<RouteAnswer> {
             const auto controller = authenticator_.verifyController(request);
             const auto payload = decodeBody<SecurityRetentionPayload>(request);
             audit.updateRetention(payload.maxEvents, payload.retentionDays);
             audit.record({.remoteAddress = SecurityAuditStore::normalizedRemoteAddress(
                               controller.remoteAddress),
                           .route = controller.routeName,
                           .method = request.method,
                           .path = request.path,
                           .outcome = SecurityOutcome::retentionUpdated,
                           .detail = "Security audit retention updated"});
             co_return RouteAnswer{200, encodeJSON(audit.snapshot(100))};
           });
  addRoute("POST", "/v1/controllers/security/emergency-stop",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             const auto controller = authenticator_.verifyController(request);
             const auto payload = decodeBody<SecurityEmergencyStopPayload>(request);
             SecurityEmergencyStopResponse stopped = co_await securityEmergencyStop(
                 payload, SecurityAuditStore::normalizedRemoteAddress(controller.remoteAddress),
                 controller.routeName);
             co_return RouteAnswer{200, encodeJSON(stopped)};
           });

  addRoute(
      "POST", "/v1/local/phone-viewer/open-mirroring",
      [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
        const auto controller = verifyPhoneHostController(request);
        co_return RouteAnswer{200, encodeJSON(phoneHost_.openPhoneMirroring(controller, request))};
      });
  addRoute("GET", "/v1/controllers/phone-host/snapshot",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             verifyPhoneHostController(request);
             co_return RouteAnswer{
                 200, encodeJSON(PhoneHostSnapshotResponse{phoneHost_.phoneHostSnapshot()})};
           });
  for (const auto& [path, change] :
       {std::pair{"/v1/controllers/phone-host/start", &PhoneHostMode::start},
        std::pair{"/v1/controllers/phone-host/stop", &PhoneHostMode::stop}}) {
    // Named again for the capture: clang before 16 cannot capture a structured binding.
    addRoute("POST", path,
             [this, change = change](Request request, Parameters) -> Awaitable<RouteAnswer> {
               const auto controller = verifyPhoneHostController(request);
               co_return RouteAnswer{200, encodeJSON(PhoneHostSnapshotResponse{
                                              (phoneHost_.*change)(controller, request)})};
             });
  }
  addRoute("POST", "/v1/controllers/phone-host/frames",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             const auto controller = verifyPhoneHostController(request);
             const auto payload = decodeBody<PhoneHostFrameUploadPayload>(request);
             co_return RouteAnswer{
                 200, encodeJSON(phoneHost_.receivePhoneHostFrame(payload, controller))};
           });
  addRoute("GET", "/v1/controllers/phone-host/frame/latest",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             verifyPhoneHostController(request);
             co_return RouteAnswer{200, encodeJSON(phoneHost_.latestFrame())};
           });

  addRoute("POST", "/v1/controllers/sessions",
           [this](Request request, Parameters) -> Awaitable<RouteAnswer> {
             const auto controller = authenticator_.verifyController(request);
             const auto payload = decodeBody<CreateSessionPayload>(request);
             RemoteSession session = co_await createLocalSession(payload, controller, request);
             co_return RouteAnswer{201, encodeJSON(SessionResponse{std::move(session)})};
           });
  addRoute("GET", "/v1/controllers/sessions/:",
           [this](Request request, Parameters parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             co_return RouteAnswer{200, encodeJSON(SessionResponse{requireSession(parameters[0])})};
           });
  addRoute("POST", "/v1/controllers/sessions/:/end",
           [this](Request request, Parameters parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             decodeBody<EndSessionPayload>(request);
             RemoteSession ended = co_await endSession(parameters[0]);
             co_return RouteAnswer{200, encodeJSON(SessionResponse{std::move(ended)})};
           });
  for (const bool agent : {false, true}) {
    const auto transport = [this, agent](Request request,
                                         Parameters parameters) -> Awaitable<RouteAnswer> {
      verifySessionParty(request, agent);
      co_return RouteAnswer{200, encodeJSON(transportConfig(requireSession(parameters[0])))};
    };
    const auto readSignals = [this, agent](Request request,
                                           Parameters parameters) -> Awaitable<RouteAnswer> {
      verifySessionParty(request, agent);
      const std::string& sessionId = parameters[0];
      requireSession(sessionId);
      co_return RouteAnswer{200, encodeJSON(SignalsResponse{sessions_.signals(
                                     sessionId, afterSequence(request), sessionParty(agent))})};
    };
    const auto postSignal = [this, agent](Request request,
                                          Parameters parameters) -> Awaitable<RouteAnswer> {
      verifySessionParty(request, agent);
      const std::string& sessionId = parameters[0];
      requireSession(sessionId);
      const auto payload = decodeBody<SignalPayload>(request);
      co_return RouteAnswer{
          201, encodeJSON(SignalResponse{recordSignal(sessionId, sessionParty(agent), payload)})};
    };
    addRoute("GET",
             agent ? "/v1/agent/sessions/:/transport" : "/v1/controllers/sessions/:/transport",
             transport);
    addRoute("GET", agent ? "/v1/agent/sessions/:/signals" : "/v1/controllers/sessions/:/signals",
             readSignals);
    addRoute("POST", agent ? "/v1/agent/sessions/:/signals" : "/v1/controllers/sessions/:/signals",
             postSignal);
  }
  addRoute("GET", "/v1/controllers/sessions/:/screen/latest",
           [this](Request request, Parameters parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             const RemoteSession session = requireSession(parameters[0]);
             ScreenFrame frame = co_await encryptedScreenFrame(session);
             co_return RouteAnswer{200, encodeJSON(ScreenFrameResponse{std::move(frame)})};
           });
  addRoute("POST", "/v1/controllers/sessions/:/commands",
           [this](Request request, Parameters parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             const RemoteSession session = requireSession(parameters[0]);
             const auto payload = decodeBody<EnqueueCommandPayload>(request);
             RemoteCommand command = co_await executeCommand(session, payload);
             co_return RouteAnswer{201, encodeJSON(CommandResponse{std::move(command)})};
           });
  addRoute("GET", "/v1/controllers/commands/:",
           [this](Request request, Parameters parameters) -> Awaitable<RouteAnswer> {
             authenticator_.verifyController(request);
             const RemoteCommand* command = sessions_.command(parameters[0], now());
             if (!command)
               throw LocalHTTPError::notFound("command_not_found");
             co_return RouteAnswer{200, encodeJSON(CommandResponse{*command})};
           });
}

void LocalNetworkControlPlane::requireLocalPairing(const LocalHTTPRequest& request,
                                                   std::string code) {
  const auto controller = authenticator_.verifyController(request);
  if (controller.kind != LocalControllerAuth::Kind::localPairing)
    throw LocalHTTPError::unauthorized(std::move(code));
}

LocalControllerAuth LocalNetworkControlPlane::verifyPhoneHostController(
    const LocalHTTPRequest& request) {
  // While the mode is off these routes do not exist, whatever token comes with them.
  phoneHost_.requirePhoneHostModeEnabled();
  return authenticator_.verifyController(request);
}

void LocalNetworkControlPlane::verifySessionParty(const LocalHTTPRequest& request, bool agent) {
  if (agent) {
    authenticator_.verifyAgent(request);
  } else {
    authenticator_.verifyController(request);
  }
}

const RemoteSession& LocalNetworkControlPlane::requireSession(const std::string& sessionId) const {
  const RemoteSession* session = sessions_.find(sessionId, now());
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
  const TavolinVideoTransportMode requested = TavolinVideoTransportModes::requested(metadata);
  const JSONValue* webConsole = metadata.find("webConsole");
  const bool stillFrames = requestedText == "encrypted_jpeg" ||
                           (webConsole && webConsole->boolean() && *webConsole->boolean());
  const bool directAccess = controller.kind == LocalControllerAuth::Kind::directAccess;
  const std::string route = directAccess ? controller.routeName : "local-network";
  const SessionPublisherFactory& publishers = dependencies_.publisherFactory;
  const bool native = !stillFrames && publishers.nativeVideoAvailable();
  const TavolinVideoTransportMode effective =
      TavolinVideoTransportModes::effective(requested, native);

  metadata.set("selectedTransport", route);
  metadata.set("controllerPublicKey", controller.publicKey);
  metadata.set("requestedVideoTransport",
               stillFrames ? "encrypted_jpeg" : TavolinVideoTransportModes::rawValue(requested));
  metadata.set("videoTransport",
               stillFrames ? "encrypted_jpeg" : TavolinVideoTransportModes::rawValue(effective));
  metadata.set("videoTransportFallback", stillFrames ? "encrypted_jpeg" : "webrtc");
  metadata.set("nativeVideoToolboxAvailable", native);
  metadata.set("nativeVideoCodecs", JSONValue::strings(native ? publishers.nativeVideoCodecs
                                                              : std::vector<std::string>{}));
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
  co_await endSessions([](const RemoteSession&) { return true; });

  sessions_.activate(session);
  if (stillFrames) {
    fallbackFrameSettingsBySessionId_[session.id] = FallbackFrameSettings{1920, 0.72};
  } else {
    startPublisher(session, effective);
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

void LocalNetworkControlPlane::startPublisher(const RemoteSession& session,
                                              TavolinVideoTransportMode transport) {
  if (!listener_ || !listener_->port())
    return;
  SessionPublisherRequest publisherRequest{"http://127.0.0.1:" + std::to_string(*listener_->port()),
                                           localAgentToken_, session};
  auto publisher = dependencies_.publisherFactory.make(transport, publisherRequest);
  if (!publisher)
    return;
  publishers_[session.id] = publisher;
  publisher->start();
}

Awaitable<RemoteSession> LocalNetworkControlPlane::endSession(const std::string& sessionId) {
  std::optional<RemoteSession> active = sessions_.takeActive(sessionId);
  if (!active) {
    if (const RemoteSession* ended = sessions_.ended(sessionId, now()))
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
  sessions_.keepEnded(ended, now());
  co_return ended;
}

TavolinSignal LocalNetworkControlPlane::recordSignal(const std::string& sessionId,
                                                     std::string_view sender,
                                                     const SignalPayload& payload) {
  // Settings of ended sessions would never be dropped again.
  if (sender == "controller" && payload.type == "quality" && sessions_.isActive(sessionId)) {
    fallbackFrameSettingsBySessionId_[sessionId] =
        FallbackFrameSettings::fromPayload(payload.payload);
  }
  const RemoteSession* session = sessions_.find(sessionId, now());
  TavolinSignal signal;
  signal.id = makeIdentifier("local_sig_");
  signal.sessionId = sessionId;
  signal.ownerId = session ? session->ownerId : std::string(ownerId);
  signal.controllerId = session ? session->controllerId : "local-controller";
  signal.deviceId = session ? session->deviceId : "local-device";
  signal.sender = std::string(sender);
  signal.type = payload.type;
  signal.payload = payload.payload;
  signal.createdAt = TavolinISO8601::string(now());
  return sessions_.appendSignal(std::move(signal), now());
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
  ScreenFrame frame = screenFrameRecord(
      "local_frame_", sealed,
      {captured.width, captured.height, captured.displayWidth, captured.displayHeight},
      TavolinISO8601::string(captured.capturedAt), TavolinISO8601::string(now()));
  frame.sessionId = session.id;
  frame.deviceId = currentDeviceId();
  frame.format = "jpeg+a256gcm";
  frame.contentFormat = "jpeg";
  frame.encryption = std::string(TavolinSessionCrypto::screenFrameEncryption);
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
  sessions_.keepCommand(command, now());
  co_return command;
}

Awaitable<std::vector<std::string>> LocalNetworkControlPlane::endSessions(
    std::function<bool(const RemoteSession&)> which) {
  std::vector<std::string> ids;
  for (const auto& [id, session] : sessions_.active()) {
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
