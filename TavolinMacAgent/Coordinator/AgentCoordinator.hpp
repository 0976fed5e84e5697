#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Coordinator/AgentRuntimeStatus.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"
#include "TavolinMacAgent/Streaming/SessionPublisher.hpp"

namespace tavolin {

class AgentError : public TavolinError {
 public:
  // The enrolment request ended without a token ("denied" or "expired").
  static AgentError enrollmentClosed(const std::string& status) {
    return AgentError("Enrollment is " + status + ". Start pairing again.");
  }

 private:
  using TavolinError::TavolinError;
};

// The agent's side of the hosted control plane: enrols with a pairing code, heartbeats the
// device snapshot, and polls for sessions (accepting those of trusted controllers, keeping one
// publisher per live session) and for queued commands, which it executes and completes in
// order. Every failure degrades the status and retries after a fixed back-off. Main actor only.
class AgentCoordinator : public std::enable_shared_from_this<AgentCoordinator> {
 public:
  using Duration = std::chrono::steady_clock::duration;
  // Suspends the loop; the agent sleeps on a timer, tests move a manual clock instead.
  using Sleep = std::function<Awaitable<void>(Duration)>;

  static constexpr auto heartbeatInterval = std::chrono::seconds(15);
  static constexpr auto idlePollInterval = std::chrono::milliseconds(250);
  static constexpr auto activePollInterval = std::chrono::milliseconds(100);
  static constexpr auto fallbackFrameInterval = std::chrono::seconds(1);
  static constexpr auto enrollmentPollInterval = std::chrono::seconds(4);
  static constexpr auto errorBackOff = std::chrono::seconds(5);
  static constexpr std::int64_t commandClaimLimit = 25;
  // A degraded message carries the failure's description; a hostile or broken server's error
  // body could be megabytes, and the status is kept and shown, so it is cut to this.
  static constexpr std::size_t maxErrorDescriptionBytes = 2048;

  struct Dependencies {
    Executor mainExecutor;
    TavolinAPIClient api;
    std::shared_ptr<TokenStore> tokenStore;
    // The device's key: published at enrolment, and what fallback frames are sealed with.
    std::shared_ptr<const DeviceIdentity> identity;
    std::shared_ptr<MacSnapshotProvider> snapshotProvider;
    std::shared_ptr<CommandExecutor> commandExecutor;
    // Fallback frames: 1280 pixels on the long side at JPEG quality 0.56.
    std::shared_ptr<ScreenFrameProvider> screenFrameProvider;
    std::shared_ptr<SystemInfo> systemInfo;
    SessionPublisherFactory publishers;
    std::shared_ptr<const Clock> clock;
    Sleep sleep;
  };

  static std::shared_ptr<AgentCoordinator> make(Dependencies dependencies);
  AgentCoordinator(const AgentCoordinator&) = delete;
  AgentCoordinator& operator=(const AgentCoordinator&) = delete;

  // Starts the loop unless it runs.
  void start();
  // Halts the loop, stops every publisher at once and ends the hosted sessions in the
  // background; start() begins afresh.
  void emergencyStop();

  const AgentRuntimeStatus& status() const { return status_; }
  // Replaces the status and tells the observer.
  void setStatus(AgentRuntimeStatus status);
  void onStatusChange(std::function<void(const AgentRuntimeStatus&)> observer) {
    onStatusChange_ = std::move(observer);
  }

  // Live publishers by session id, per transport.
  const std::map<std::string, std::shared_ptr<SessionPublisher>>& webRTCStreamingSessions() const {
    return webRTCStreamingSessions_;
  }
  const std::map<std::string, std::shared_ptr<SessionPublisher>>& nativeVideoStreamingSessions()
      const {
    return nativeVideoStreamingSessions_;
  }

  // What a session asks for and what it gets; the metadata sent with its acceptance.
  TavolinVideoTransportMode effectiveVideoTransport(const RemoteSession& session) const;
  JSONObject acceptanceMetadata(const RemoteSession& session) const;

 private:
  explicit AgentCoordinator(Dependencies dependencies);

  struct PollStatus {
    int activeSessions = 0;
    int claimedCommands = 0;
    int webRTCSessions = 0;
    int nativeVideoSessions = 0;
    int uploadedScreenFrames = 0;
  };
  using PublisherMap = std::map<std::string, std::shared_ptr<SessionPublisher>>;

  Awaitable<void> run();
  Awaitable<std::string> agentToken();
  Awaitable<PollStatus> pollControlPlane(const std::string& agentToken, bool uploadScreenFrame);
  Awaitable<void> executeClaimedCommands(const std::string& agentToken,
                                         const std::vector<RemoteCommand>& commands);
  // Records a failure the way the loop shows it: `lastError`, then the connection degraded
  // with `message`, each change told to the observer.
  void degrade(const std::string& description, const std::string& message);
  Awaitable<bool> verifyTrustedController(const RemoteSession& session);
  std::optional<ScreenFramePayload> encryptedScreenFrame(const RemoteSession& session,
                                                         const StillFrame& captured) const;
  std::string hostName() const;

  // Session handling.
  Awaitable<std::vector<RemoteSession>> pruneSupersededSessions(const std::string& agentToken,
                                                                std::vector<RemoteSession> active);
  void reconcile(PublisherMap& publishers, TavolinVideoTransportMode transport,
                 const std::string& agentToken, const std::vector<RemoteSession>& sessions);
  void requestStop(PublisherMap& publishers);
  // Ends sessions in the background, ignoring every failure.
  void endInBackground(std::string agentToken, std::vector<std::string> sessionIds,
                       std::string reason);

  Dependencies dependencies_;
  std::function<void(const AgentRuntimeStatus&)> onStatusChange_;
  AgentRuntimeStatus status_ = AgentRuntimeStatus::starting();
  Task loopTask_;
  PublisherMap webRTCStreamingSessions_;
  PublisherMap nativeVideoStreamingSessions_;
  // The token store may answer from disk or over D-Bus: never on the main actor. Last, so that
  // it is joined before the state its work uses goes.
  std::shared_ptr<SerialQueue> storeQueue_ =
      std::make_shared<SerialQueue>("app.tavolin.agent.coordinator.token-store");
};

}  // namespace tavolin
