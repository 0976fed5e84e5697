#include "TavolinMacAgent/LocalNetwork/LocalNetworkControlPlane.hpp"

#include <algorithm>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinMacAgent/LocalNetwork/DirectInternetSTUN.hpp"
#include "TavolinMacAgent/LocalNetwork/DirectReadiness.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"
#include "TavolinMacAgent/LocalNetwork/WebConsoleFiles.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kWebConsolePage = "index.html";
constexpr std::string_view kWebConsoleAssetPrefix = "/console/";

// The console file a GET asks for: the page at "/" and "/index.html", the style sheet and modules
// under /console/. Anything else there falls through to the route table.
const EmbeddedFile* webConsoleFile(std::string_view path) {
  const bool isPage = path == "/" || path == "/index.html";
  if (!isPage && !path.starts_with(kWebConsoleAssetPrefix))
    return nullptr;
  const std::string_view name =
      isPage ? kWebConsolePage : path.substr(kWebConsoleAssetPrefix.size());
  // The page is served only at its own paths, with its own headers.
  if (!isPage && name == kWebConsolePage)
    return nullptr;
  const auto files = webConsoleFiles();
  const auto found = std::ranges::find(files, name, &EmbeddedFile::name);
  return found == files.end() ? nullptr : &*found;
}

LocalHTTPResponse webConsoleResponse(const EmbeddedFile& file) {
  // The page keeps the header it has always been sent; the page itself has no inline code, and
  // the files it loads carry the policy without 'unsafe-inline'.
  const bool isPage = file.name == kWebConsolePage;
  LocalHTTPResponse response;
  response.contentType = std::string(file.contentType);
  response.body = std::string(file.bytes);
  response.extraHeaders = {
      {"Cache-Control", "no-store"},
      {"Content-Security-Policy",
       isPage ? "default-src 'self'; img-src 'self' blob: data:; style-src 'unsafe-inline' 'self'; "
                "script-src 'unsafe-inline' 'self'; connect-src 'self'; base-uri 'none'; "
                "frame-ancestors 'none'"
              : "default-src 'self'; img-src 'self' blob: data:; style-src 'self'; "
                "script-src 'self'; connect-src 'self'; base-uri 'none'; frame-ancestors 'none'"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
  };
  return response;
}

LocalHTTPResponse faviconResponse() {
  LocalHTTPResponse response;
  response.contentType = "image/svg+xml";
  response.extraHeaders = {{"Cache-Control", "public, max-age=86400"}};
  response.body =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\" viewBox=\"0 0 64 64\">"
      "<rect width=\"64\" height=\"64\" rx=\"14\" fill=\"#080a0f\"/>"
      "<rect x=\"13\" y=\"20\" width=\"38\" height=\"24\" fill=\"none\" stroke=\"#5eead4\" "
      "stroke-width=\"4\"/>"
      "<line x1=\"25\" y1=\"50\" x2=\"39\" y2=\"50\" stroke=\"#e5e7eb\" stroke-width=\"4\" "
      "stroke-linecap=\"round\"/></svg>";
  return response;
}

LocalHTTPResponse statusResponse(int statusCode, std::string body = {}) {
  LocalHTTPResponse response;
  response.statusCode = statusCode;
  response.reason = std::string(LocalHTTPResponse::reasonFor(statusCode));
  response.body = std::move(body);
  return response;
}

std::string withoutColons(std::string text) {
  std::erase(text, ':');
  return text;
}

}  // namespace

LocalNetworkControlPlane::LocalNetworkControlPlane(Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      localAgentToken_(base64URLEncode(secureRandomBytes(32))),
      authenticator_(*dependencies_.tokenStore, *dependencies_.securityAuditStore,
                     *dependencies_.clock, localAgentToken_, dependencies_.diagnostics),
      phoneHost_({.clock = *dependencies_.clock,
                  .auditStore = *dependencies_.securityAuditStore,
                  .enabled =
                      [provider = dependencies_.snapshotProvider] {
                        return provider->phoneHostModeEnabled();
                      },
                  .desktop = [this] { return phoneHostDesktop(); }}) {
  addRoutes();
}

LocalNetworkControlPlane::~LocalNetworkControlPlane() {
  stop();
}

void LocalNetworkControlPlane::mark(std::string_view line) {
  if (dependencies_.diagnostics)
    *dependencies_.diagnostics << line << std::endl;
}

void LocalNetworkControlPlane::setStatus(LocalNetworkRuntimeStatus status) {
  if (status == status_)
    return;
  status_ = std::move(status);
  if (onStatusChange)
    onStatusChange(status_);
}

std::string LocalNetworkControlPlane::sanitizedHostName() const {
  std::string name(trimmedWhitespaceAndNewlines(computerName()));
  if (name.empty())
    name = "Tavolin Mac";
  // DNS-SD labels stop at 63 bytes; cut on a character boundary.
  if (name.size() > 63) {
    std::size_t cut = 63;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
      --cut;
    name.resize(cut);
  }
  return name;
}

void LocalNetworkControlPlane::start() {
  if (listener_)
    return;
  std::optional<std::uint16_t> port;
  try {
    mark("TAVOLIN_LOCAL_NETWORK_LOADING_IDENTITY");
    deviceIdentity_ = DeviceIdentity::loadOrCreate(*dependencies_.tokenStore);
    mark("TAVOLIN_LOCAL_NETWORK_LOADING_PAIRING_CODE");
    authenticator_.localPairingCode();
    mark("TAVOLIN_LOCAL_NETWORK_CREATING_LISTENER");
    auto listener = std::make_unique<LocalHTTPListener>(
        dependencies_.mainExecutor,
        [this](LocalHTTPRequest request) { return response(std::move(request)); },
        dependencies_.listenerOptions);
    const auto binding =
        listener->bind(LocalHTTPListener::preferredPort(dependencies_.environment));
    if (binding.preferredPortFailure) {
      mark("TAVOLIN_LOCAL_NETWORK_FIXED_PORT_UNAVAILABLE " + *binding.preferredPortFailure);
    }
    port = binding.port;
    listener_ = std::move(listener);
  } catch (const std::exception& error) {
    mark(std::string("TAVOLIN_LOCAL_NETWORK_START_FAILED ") + error.what());
    setStatus({false, std::nullopt, std::nullopt, sanitizedHostName(), error.what()});
    return;
  }

  const std::string serviceName = sanitizedHostName();
  ServiceAdvertisement advertisement{
      serviceName,
      std::string(serviceType),
      *port,
      {{"version", "1"}, {"platform", dependencies_.systemInfo->platformName()}}};
  dependencies_.serviceAdvertiser->advertise(
      std::move(advertisement), [this](const ServiceAdvertiserEvent& event) {
        using Kind = ServiceAdvertiserEvent::Kind;
        if (event.kind == Kind::registered) {
          auto status = status_;
          status.serviceName = event.detail;
          setStatus(std::move(status));
        } else if (event.kind == Kind::unavailable) {
          mark("TAVOLIN_LOCAL_NETWORK_SERVICE_DISCOVERY_UNAVAILABLE " + event.detail);
        } else {
          mark("TAVOLIN_LOCAL_NETWORK_SERVICE_DISCOVERY_FAILED " + event.detail);
        }
      });

  listener_->start(
      [this, serviceName](LocalHTTPListener::State state, const std::string& description) {
        auto status = status_;
        switch (state) {
          case LocalHTTPListener::State::ready: {
            const auto& code = authenticator_.pairingCode();
            status = {true, listener_->port(), code, serviceName, std::nullopt};
            mark("TAVOLIN_LOCAL_NETWORK_READY port=" +
                 (status.port ? std::to_string(*status.port) : std::string("unknown")) +
                 " code=" + code.value_or(""));
            break;
          }
          case LocalHTTPListener::State::failed:
            mark("TAVOLIN_LOCAL_NETWORK_FAILED " + description);
            status.isRunning = false;
            status.lastError = description;
            break;
          case LocalHTTPListener::State::cancelled:
            status.isRunning = false;
            status.port.reset();
            break;
        }
        setStatus(std::move(status));
      });
}

void LocalNetworkControlPlane::stop() {
  if (!listener_)
    return;
  dependencies_.serviceAdvertiser->withdraw();
  listener_->stop();
  listener_.reset();
}

Awaitable<LocalHTTPResponse> LocalNetworkControlPlane::response(LocalHTTPRequest request) {
  const bool isGet = request.method == "GET";
  if (const EmbeddedFile* file = isGet ? webConsoleFile(request.path) : nullptr)
    co_return webConsoleResponse(*file);
  if (isGet && request.path == "/favicon.svg")
    co_return faviconResponse();
  if (request.method == "OPTIONS")
    co_return statusResponse(204);

  std::optional<LocalHTTPError> failure;
  try {
    RouteAnswer answer = co_await route(request);
    co_return statusResponse(answer.statusCode, std::move(answer.body));
  } catch (const LocalHTTPError& error) {
    failure = error;
  } catch (const std::exception& error) {
    failure = LocalHTTPError::internalServerError(error.what());
  }
  co_return failure->response();
}

const DeviceIdentity& LocalNetworkControlPlane::identity() {
  if (!deviceIdentity_) {
    try {
      deviceIdentity_ = DeviceIdentity::loadOrCreate(*dependencies_.tokenStore);
    } catch (const std::exception& error) {
      throw LocalHTTPError::internalServerError(error.what());
    }
  }
  return *deviceIdentity_;
}

std::string LocalNetworkControlPlane::currentDeviceId() {
  return "local-mac-" + withoutColons(identity().fingerprint());
}

std::string LocalNetworkControlPlane::computerName() const {
  auto& system = *dependencies_.systemInfo;
  return system.computerName().value_or(system.hostName());
}

Device LocalNetworkControlPlane::currentDevice() {
  auto& system = *dependencies_.systemInfo;
  Device device;
  device.id = currentDeviceId();
  device.ownerId = std::string(ownerId);
  device.hostname = system.hostName();
  device.name = computerName();
  device.platform = system.platformName();
  device.publicKey = identity().publicKeyBase64URL();
  device.agentVersion = std::string(MacSnapshotProvider::agentVersion);
  device.osVersion = dependencies_.snapshotProvider->osVersion();
  device.capabilities = dependencies_.snapshotProvider->capabilities();
  device.status = "online";
  device.createdAt = device.updatedAt = TavolinISO8601::string(now());
  return device;
}

PhoneHostDesktop LocalNetworkControlPlane::phoneHostDesktop() {
  return {identity(), currentDeviceId(), computerName(), dependencies_.systemInfo->platformName()};
}

Awaitable<DeviceSnapshot> LocalNetworkControlPlane::currentSnapshot() {
  DeviceSnapshot snapshot;
  snapshot.id = makeIdentifier("local_snapshot_");
  try {
    snapshot.deviceId = currentDeviceId();
  } catch (const LocalHTTPError&) {
    snapshot.deviceId = "local-device";
  }
  HeartbeatPayload heartbeat = co_await dependencies_.snapshotProvider->heartbeatPayload();
  snapshot.focusedApp = std::move(heartbeat.focusedApp);
  snapshot.runningApps = std::move(heartbeat.runningApps);
  snapshot.windows = std::move(heartbeat.windows);
  snapshot.capturedAt = TavolinISO8601::string(now());
  co_return snapshot;
}

DirectAccessConfigResponse LocalNetworkControlPlane::directAccessConfig() {
  DirectAccessConfigResponse config;
  config.device = currentDevice();
  config.tokenSecret = authenticator_.directAccessSecret();
  config.listenPort = localAgentPort();
  config.requiresHTTPS = true;
  config.recommendedExternalPort = 443;
  config.route = "direct-internet";
  return config;
}

DirectReadinessResponse LocalNetworkControlPlane::directReadiness() {
  return tavolin::directReadiness(
      {.device = currentDevice(),
       .generatedAt = TavolinISO8601::string(now()),
       .localAgentPort = localAgentPort(),
       .directAccessTokenAvailable = authenticator_.directAccessSecretIfPresent().has_value(),
       .addresses = networkInterfaceAddresses(dependencies_.systemInfo->interfaceAddresses()),
       .stunServers = directInternetSTUNServers(dependencies_.environment)});
}

std::int64_t LocalNetworkControlPlane::localAgentPort() const {
  const auto bound = listener_ ? listener_->port() : std::nullopt;
  return bound.value_or(LocalHTTPListener::preferredPort(dependencies_.environment));
}

void LocalNetworkControlPlane::refuseBlockedPeer(const LocalHTTPRequest& request) {
  auto& audit = *dependencies_.securityAuditStore;
  // The connection's own address counts too: forwarding headers are the client's to write.
  for (const std::string& peer : {authPeerIdentifier(request), request.remotePeer}) {
    const auto block = audit.activeBlock(peer);
    if (!block)
      continue;
    const std::string detail = SecurityAuditStore::blockDetail(*block);
    audit.record({.remoteAddress = peer,
                  .route = routeName(request),
                  .method = request.method,
                  .path = request.path,
                  .outcome = SecurityOutcome::blocked,
                  .detail = detail});
    throw LocalHTTPError::forbidden("remote_peer_blocked");
  }
}

}  // namespace tavolin
