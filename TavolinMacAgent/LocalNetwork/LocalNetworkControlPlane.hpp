#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/HTTP/PathPattern.hpp"
#include "TavolinCore/Records/DirectAccessRecords.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Records/SecurityRecords.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/LocalNetwork/FallbackFrameSettings.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalControllerAuthenticator.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalHTTPListener.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalSessionTable.hpp"
#include "TavolinMacAgent/LocalNetwork/PhoneHostMode.hpp"
#include "TavolinMacAgent/Platform/ServiceAdvertiser.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"
#include "TavolinMacAgent/Streaming/SessionPublisher.hpp"

namespace tavolin {

// What the status interface shows of the local server.
struct LocalNetworkRuntimeStatus {
  bool isRunning = false;
  std::optional<std::uint16_t> port;
  std::optional<std::string> pairingCode;
  std::optional<std::string> serviceName;
  std::optional<std::string> lastError;
  bool operator==(const LocalNetworkRuntimeStatus&) const = default;
};

// The agent's own HTTP server on the local network: pairing, sessions, signals, still frames,
// commands, the security routes and phone host mode, for controllers that reach this computer
// directly or through an HTTPS proxy. Advertised by DNS-SD as "_tavolin._tcp".
//
// Confined to the main actor: the listener's queue hands every request over, and routes may
// suspend, so several requests can be in progress at once; every step reads the tables afresh
// after a suspension. Marker lines go to `diagnostics`.
class LocalNetworkControlPlane {
 public:
  struct Dependencies {
    Executor mainExecutor;
    std::shared_ptr<TokenStore> tokenStore;
    std::shared_ptr<MacSnapshotProvider> snapshotProvider;
    std::shared_ptr<CommandExecutor> commandExecutor;
    std::shared_ptr<ScreenFrameProvider> screenFrameProvider;
    std::shared_ptr<SecurityAuditStore> securityAuditStore;
    std::shared_ptr<ServiceAdvertiser> serviceAdvertiser;
    std::shared_ptr<SystemInfo> systemInfo;
    std::shared_ptr<const Clock> clock;
    Environment environment;
    std::ostream* diagnostics = nullptr;
    // Streams of sessions that want live video; may be empty.
    SessionPublisherFactory publisherFactory;
    LocalHTTPListenerOptions listenerOptions;
  };

  static constexpr std::string_view serviceType = "_tavolin._tcp";
  static constexpr std::string_view ownerId = "local-owner";

  explicit LocalNetworkControlPlane(Dependencies dependencies);
  ~LocalNetworkControlPlane();
  LocalNetworkControlPlane(const LocalNetworkControlPlane&) = delete;
  LocalNetworkControlPlane& operator=(const LocalNetworkControlPlane&) = delete;

  // Loads the identity and the pairing code, binds and starts listening, and advertises the
  // service. Failures end up in the status and a marker line, never thrown.
  void start();
  // Stops listening and withdraws the advertisement; idempotent.
  void stop();

  const LocalNetworkRuntimeStatus& status() const { return status_; }
  std::function<void(const LocalNetworkRuntimeStatus&)> onStatusChange;

  // First-level dispatch: the web console page, the icon, preflights, then the API routes.
  // Never throws.
  Awaitable<LocalHTTPResponse> response(LocalHTTPRequest request);

  // Ends every active session, optionally forgets the direct-access secret, and audits it.
  Awaitable<SecurityEmergencyStopResponse> securityEmergencyStop(
      const SecurityEmergencyStopPayload& payload, const std::string& remoteAddress,
      const std::string& route);

  const std::map<std::string, RemoteSession>& activeSessions() const { return sessions_.active(); }
  const LocalSessionTable& sessions() const { return sessions_; }
  LocalControllerAuthenticator& authenticator() { return authenticator_; }

 private:
  struct RouteAnswer {
    int statusCode = 200;
    std::string body;
  };

  using RouteHandler = std::function<Awaitable<RouteAnswer>(
      const LocalHTTPRequest& request, const std::vector<std::string>& parameters)>;
  struct Route {
    std::string_view method;
    std::string_view path;
    PathPattern pattern;  // empty for a fixed path
    RouteHandler handler;
  };

  // The first route matching the method and path answers; the rest is 404.
  Awaitable<RouteAnswer> route(const LocalHTTPRequest& request);
  void addRoutes();
  void addRoute(std::string_view method, std::string_view path, RouteHandler handler);
  void requireLocalPairing(const LocalHTTPRequest& request, std::string code);
  LocalControllerAuth verifyPhoneHostController(const LocalHTTPRequest& request);
  void verifySessionParty(const LocalHTTPRequest& request, bool agent);
  void refuseBlockedPeer(const LocalHTTPRequest& request);

  Device currentDevice();
  std::string currentDeviceId();
  // The computer's name, else its host name.
  std::string computerName() const;
  PhoneHostDesktop phoneHostDesktop();
  const DeviceIdentity& identity();
  Awaitable<DeviceSnapshot> currentSnapshot();
  DirectAccessConfigResponse directAccessConfig();
  DirectReadinessResponse directReadiness();
  // The bound port, or the preferred one while nothing is bound.
  std::int64_t localAgentPort() const;

  Awaitable<RemoteSession> createLocalSession(const CreateSessionPayload& payload,
                                              const LocalControllerAuth& controller,
                                              const LocalHTTPRequest& request);
  // Ends an active session (stopping its publisher), answers an already ended one unchanged,
  // and records an ended placeholder for an unknown id.
  Awaitable<RemoteSession> endSession(const std::string& sessionId);
  // Ends the active sessions `which` selects, in ascending id order; answers their ids.
  Awaitable<std::vector<std::string>> endSessions(std::function<bool(const RemoteSession&)> which);
  Awaitable<DirectAccessRevocationResponse> revokeDirectAccess();
  void startPublisher(const RemoteSession& session, TavolinVideoTransportMode transport);
  const RemoteSession& requireSession(const std::string& sessionId) const;

  TavolinSignal recordSignal(const std::string& sessionId, std::string_view sender,
                             const SignalPayload& payload);
  TransportConfigResponse transportConfig(const RemoteSession& session) const;
  Awaitable<ScreenFrame> encryptedScreenFrame(const RemoteSession& session);
  Awaitable<RemoteCommand> executeCommand(const RemoteSession& session,
                                          const EnqueueCommandPayload& payload);

  std::string sanitizedHostName() const;
  void setStatus(LocalNetworkRuntimeStatus status);
  void mark(std::string_view line);
  Date now() const { return dependencies_.clock->now(); }

  Dependencies dependencies_;
  std::string localAgentToken_;
  LocalControllerAuthenticator authenticator_;
  PhoneHostMode phoneHost_;
  std::unique_ptr<LocalHTTPListener> listener_;
  std::optional<DeviceIdentity> deviceIdentity_;
  LocalNetworkRuntimeStatus status_;

  LocalSessionTable sessions_;
  std::map<std::string, std::shared_ptr<SessionPublisher>> publishers_;
  std::map<std::string, FallbackFrameSettings> fallbackFrameSettingsBySessionId_;
  std::vector<Route> routes_;
};

}  // namespace tavolin
