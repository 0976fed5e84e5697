#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinMacAgent/App/MacAgentUpdateMonitor.hpp"
#include "TavolinMacAgent/Commands/AppCommands.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"
#include "TavolinMacAgent/Coordinator/AgentCoordinator.hpp"
#include "TavolinMacAgent/Coordinator/AgentStatusLines.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalNetworkControlPlane.hpp"
#include "TavolinMacAgent/Platform/Platform.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"

namespace tavolin {

// The application delegate: owns what the start sequence builds and lives as long as the
// process. Confined to the main actor.
class TavolinMacAgentApp {
 public:
  // `diagnostics` receives the marker lines (standard error in the agent); `makePlatform` builds
  // the operating-system layer at launch.
  TavolinMacAgentApp(Executor mainExecutor, std::ostream& diagnostics,
                     PlatformFactory makePlatform);

  // Reads the configuration and starts the agent. Throws when the device identity cannot be
  // loaded or stored; the caller reports it and ends the process.
  void applicationDidFinishLaunching(const Environment& environment);

  const std::string& baseURL() const { return baseURL_; }
  const std::shared_ptr<TokenStore>& tokenStore() const { return tokenStore_; }
  const std::shared_ptr<const DeviceIdentity>& identity() const { return identity_; }
  // The local route's executor.
  const std::shared_ptr<CommandExecutor>& commandExecutor() const { return localCommandExecutor_; }
  LocalNetworkControlPlane* localNetwork() const { return localNetwork_.get(); }
  MacAgentUpdateMonitor* updateMonitor() const { return updateMonitor_.get(); }
  const std::shared_ptr<AgentCoordinator>& coordinator() const { return coordinator_; }

  // Stops everything a controller may be doing here: the hosted route (loop, sessions,
  // publishers) and the local sessions. A local user's last resort, without the menu.
  void emergencyStop();

 private:
  Executor mainExecutor_;
  std::ostream& diagnostics_;
  PlatformFactory makePlatform_;
  std::string baseURL_;
  std::optional<AppPaths> paths_;
  std::shared_ptr<TokenStore> tokenStore_;
  std::shared_ptr<const DeviceIdentity> identity_;

  // Built at launch and kept for the life of the process.
  std::shared_ptr<const Clock> clock_ = std::make_shared<SystemClock>();
  Platform platform_;
  std::shared_ptr<CommandExecutor> coordinatorCommandExecutor_;
  std::shared_ptr<CommandExecutor> localCommandExecutor_;
  std::shared_ptr<LowLatencyInputFastPath> lowLatencyInputFastPath_;
  std::shared_ptr<AppCommands> appCommands_;
  std::shared_ptr<MacSnapshotProvider> snapshotProvider_;
  std::shared_ptr<SecurityAuditStore> securityAuditStore_;
  std::shared_ptr<AgentCoordinator> coordinator_;
  std::unique_ptr<AgentStatusLines> statusLines_;
  std::unique_ptr<LocalNetworkControlPlane> localNetwork_;
  std::shared_ptr<MacAgentUpdateMonitor> updateMonitor_;

  // An executor with every command handler of this computer.
  std::shared_ptr<CommandExecutor> makeCommandExecutor();
  SessionPublisherFactory makePublisherFactory(const Environment& environment,
                                               std::shared_ptr<CommandExecutor> executor);
};

}  // namespace tavolin
