#include "TavolinMacAgent/App/TavolinMacAgentApp.hpp"

#include <filesystem>
#include <vector>

#include <boost/asio/co_spawn.hpp>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/UserDefaults.hpp"
#include "TavolinCore/Records/TavolinFeatureFlags.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinMacAgent/App/AgentConfiguration.hpp"
#include "TavolinMacAgent/App/TokenStoreChoice.hpp"
#include "TavolinMacAgent/Commands/BenchmarkSurfaceCommands.hpp"
#include "TavolinMacAgent/Commands/ClipboardCommands.hpp"
#include "TavolinMacAgent/Commands/GamepadCommands.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"
#include "TavolinMacAgent/Commands/PhoneMediaUploads.hpp"
#include "TavolinMacAgent/Streaming/WebRTCSessionPublisher.hpp"

namespace tavolin {
namespace {

// Every directory the agent replaces files in: the data directory (audit log), the file token
// stores and the configuration (user defaults). A write cut short by a kill leaves its temporary
// file there; this agent is not writing yet, so whatever matches is stale.
void removeInterruptedWrites(const AppPaths& paths, const Environment& environment) {
  std::vector<std::filesystem::path> directories{
      paths.dataDirectory, paths.dataDirectory / "token-store", paths.configDirectory};
  if (const auto tokenStoreDirectory = environmentValue(environment, "TAVOLIN_TOKEN_STORE_DIR");
      tokenStoreDirectory && !tokenStoreDirectory->empty()) {
    directories.emplace_back(*tokenStoreDirectory);
  }
  for (const auto& directory : directories)
    removeStaleTemporaryFiles(directory);
}

}  // namespace

TavolinMacAgentApp::TavolinMacAgentApp(Executor mainExecutor, std::ostream& diagnostics,
                                       PlatformFactory makePlatform)
    : mainExecutor_(std::move(mainExecutor)),
      diagnostics_(diagnostics),
      makePlatform_(std::move(makePlatform)) {}

void TavolinMacAgentApp::applicationDidFinishLaunching(const Environment& environment) {
  baseURL_ = chooseBaseURL(environment);
  paths_ = AppPaths::fromEnvironment(environment);
  removeInterruptedWrites(*paths_, environment);
  platform_ = makePlatform_(mainExecutor_, environment);
  tokenStore_ = chooseTokenStore(
      environment, *paths_, makeKeychainStore(*paths_, platform_.secureItemStore, diagnostics_));
  identity_ = std::make_shared<const DeviceIdentity>(DeviceIdentity::loadOrCreate(*tokenStore_));
  diagnostics_ << "TAVOLIN_AGENT_STARTED fingerprint=" << identity_->fingerprint() << std::endl;

  lowLatencyInputFastPath_ = std::make_shared<LowLatencyInputFastPath>(
      tokenStore_, *clock_, platform_.inputInjector, platform_.displayGeometry);
  appCommands_ = std::make_shared<AppCommands>(
      platform_.workspace, platform_.windowList, platform_.browserTabs,
      [input = platform_.inputInjector] { return input->isTrusted(); });

  auto defaults = std::make_shared<UserDefaults>(paths_->userDefaultsFile());
  // The hosted and the local route each execute with their own executor (own key and replay
  // caches); their publishers' data channels use the executor of their route.
  coordinatorCommandExecutor_ = makeCommandExecutor();
  localCommandExecutor_ = makeCommandExecutor();
  const SessionPublisherFactory coordinatorPublishers =
      makePublisherFactory(environment, coordinatorCommandExecutor_);
  snapshotProvider_ = std::make_shared<MacSnapshotProvider>(MacSnapshotProvider::Platform{
      .workspace = platform_.workspace,
      .windowList = platform_.windowList,
      .browserTabs = platform_.browserTabs,
      .systemInfo = platform_.systemInfo,
      .screenCaptureAllowed = [capture = platform_.screenCapture] { return capture->canCapture(); },
      .accessibilityTrusted = [input = platform_.inputInjector] { return input->isTrusted(); },
      .phoneHostModeEnabled =
          [defaults, environment] {
            return TavolinFeatureFlags::phoneHostModeEnabled(*defaults, environment);
          },
      .nativeVideoCodecs = coordinatorPublishers.nativeVideoAvailable()
                               ? coordinatorPublishers.nativeVideoCodecs
                               : std::vector<std::string>{}});

  coordinator_ =
      AgentCoordinator::make({.mainExecutor = mainExecutor_,
                              .api = TavolinAPIClient(baseURL_, std::make_shared<HTTPClient>()),
                              .tokenStore = tokenStore_,
                              .identity = identity_,
                              .snapshotProvider = snapshotProvider_,
                              .commandExecutor = coordinatorCommandExecutor_,
                              .screenFrameProvider = std::make_shared<ScreenFrameProvider>(
                                  platform_.screenCapture, platform_.displayGeometry),
                              .systemInfo = platform_.systemInfo,
                              .publishers = coordinatorPublishers,
                              .clock = clock_,
                              .sleep = {}});
  statusLines_ = std::make_unique<AgentStatusLines>(diagnostics_, environment);
  coordinator_->onStatusChange(
      [lines = statusLines_.get()](const AgentRuntimeStatus& status) { lines->render(status); });

  securityAuditStore_ = std::make_shared<SecurityAuditStore>(
      mainExecutor_, SecurityAuditStore::defaultStorageFile(*paths_), *clock_, diagnostics_,
      SecurityAuditStore::limitsFromEnvironment(environment));

  LocalNetworkControlPlane::Dependencies local;
  local.mainExecutor = mainExecutor_;
  local.tokenStore = tokenStore_;
  local.snapshotProvider = snapshotProvider_;
  local.publisherFactory = makePublisherFactory(environment, localCommandExecutor_);
  local.commandExecutor = localCommandExecutor_;
  local.screenFrameProvider =
      std::make_shared<ScreenFrameProvider>(platform_.screenCapture, platform_.displayGeometry);
  local.securityAuditStore = securityAuditStore_;
  local.serviceAdvertiser = platform_.serviceAdvertiser;
  local.systemInfo = platform_.systemInfo;
  local.clock = clock_;
  local.environment = environment;
  local.diagnostics = &diagnostics_;
  localNetwork_ = std::make_unique<LocalNetworkControlPlane>(std::move(local));

  localNetwork_->start();
  coordinator_->start();

  updateMonitor_ = MacAgentUpdateMonitor::make({.mainExecutor = mainExecutor_,
                                                .environment = environment,
                                                .systemInfo = platform_.systemInfo,
                                                .diagnostics = &diagnostics_});
  updateMonitor_->start();
}

void TavolinMacAgentApp::emergencyStop() {
  coordinator_->emergencyStop();
  // Local sessions end too; direct access stays, so paired controllers need not pair again.
  const SecurityEmergencyStopPayload payload{.revokeDirectAccess = false,
                                             .endActiveSessions = true,
                                             .reason = "Emergency stop from this computer"};
  asio::co_spawn(
      mainExecutor_, localNetwork_->securityEmergencyStop(payload, "this-computer", "agent-signal"),
      [&diagnostics = diagnostics_](std::exception_ptr failure,
                                    const SecurityEmergencyStopResponse&) {
        if (const auto description = describeFailure(failure))
          writeDiagnosticLine(diagnostics, "TAVOLIN_AGENT_EMERGENCY_STOP_FAILED " + *description);
      });
}

SessionPublisherFactory TavolinMacAgentApp::makePublisherFactory(
    const Environment& environment, std::shared_ptr<CommandExecutor> executor) {
  // Every live session streams over WebRTC: the native video path is not built on this platform,
  // so the factory offers none and sessions that ask for it are told they got WebRTC.
  SessionPublisherFactory factory;
  factory.webRTC = [this, executor, tuning = WebRTCTuning::fromEnvironment(environment),
                    http = std::make_shared<HTTPClient>()](const SessionPublisherRequest& request) {
    return WebRTCSessionPublisher::make({.mainExecutor = mainExecutor_,
                                         .api = TavolinAPIClient(request.apiBaseURL, http),
                                         .agentToken = request.agentToken,
                                         .session = request.session,
                                         .commandExecutor = executor,
                                         .lowLatencyInputFastPath = lowLatencyInputFastPath_,
                                         .peerConnections = platform_.peerConnectionFactory,
                                         .screenCapture = platform_.screenCapture,
                                         .displayGeometry = platform_.displayGeometry,
                                         .pasteboard = platform_.pasteboard,
                                         .clock = clock_,
                                         .tuning = tuning});
  };
  return factory;
}

std::shared_ptr<CommandExecutor> TavolinMacAgentApp::makeCommandExecutor() {
  auto executor = std::make_shared<CommandExecutor>(tokenStore_, *clock_);
  const auto& input = platform_.inputInjector;
  const auto& geometry = platform_.displayGeometry;
  InputCommands(input, geometry).registerWith(*executor);
  GamepadCommands(input, geometry, platform_.systemInfo->platformName()).registerWith(*executor);
  ClipboardCommands(platform_.pasteboard).registerWith(*executor);
  PhoneMediaUploads(PhoneMediaUploadLocations::fromAppPaths(*paths_), *clock_)
      .registerWith(*executor);
  BenchmarkSurfaceCommands(mainExecutor_, geometry, platform_.benchmarkSurfaces, *clock_)
      .registerWith(*executor);
  appCommands_->registerWith(*executor);
  return executor;
}

}  // namespace tavolin
