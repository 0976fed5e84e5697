#include "TavolinMacAgent/App/TavolinMacAgentApp.hpp"

#include "TavolinCore/Foundation/UserDefaults.hpp"
#include "TavolinCore/Records/TavolinFeatureFlags.hpp"
#include "TavolinMacAgent/App/AgentConfiguration.hpp"
#include "TavolinMacAgent/App/TokenStoreChoice.hpp"
#include "TavolinMacAgent/Commands/BenchmarkSurfaceCommands.hpp"
#include "TavolinMacAgent/Commands/ClipboardCommands.hpp"
#include "TavolinMacAgent/Commands/GamepadCommands.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"
#include "TavolinMacAgent/Commands/PhoneMediaUploads.hpp"

namespace tavolin {

TavolinMacAgentApp::TavolinMacAgentApp(Executor mainExecutor, std::ostream& diagnostics)
    : mainExecutor_(std::move(mainExecutor)), diagnostics_(diagnostics) {}

void TavolinMacAgentApp::applicationDidFinishLaunching(const Environment& environment) {
  baseURL_ = chooseBaseURL(environment);
  paths_ = AppPaths::fromEnvironment(environment);
  tokenStore_ = chooseTokenStore(environment, *paths_, makeKeychainStore(*paths_, diagnostics_));
  identity_ = DeviceIdentity::loadOrCreate(*tokenStore_);
  diagnostics_ << "TAVOLIN_AGENT_STARTED fingerprint=" << identity_->fingerprint() << std::endl;

  platform_ = makeLinuxPlatform(mainExecutor_, environment);
  commandExecutor_ = std::make_shared<CommandExecutor>(tokenStore_, *clock_);
  registerCommandHandlers();

  auto defaults = std::make_shared<UserDefaults>(paths_->userDefaultsFile());
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
          }});
  screenFrameProvider_ =
      std::make_shared<ScreenFrameProvider>(platform_.screenCapture, platform_.displayGeometry);
  securityAuditStore_ = std::make_shared<SecurityAuditStore>(
      SecurityAuditStore::defaultStorageFile(*paths_), *clock_, diagnostics_,
      SecurityAuditStore::limitsFromEnvironment(environment));

  LocalNetworkControlPlane::Dependencies local;
  local.mainExecutor = mainExecutor_;
  local.tokenStore = tokenStore_;
  local.snapshotProvider = snapshotProvider_;
  local.commandExecutor = commandExecutor_;
  local.screenFrameProvider = screenFrameProvider_;
  local.securityAuditStore = securityAuditStore_;
  local.serviceAdvertiser = platform_.serviceAdvertiser;
  local.systemInfo = platform_.systemInfo;
  local.clock = clock_;
  local.environment = environment;
  local.diagnostics = &diagnostics_;
  localNetwork_ = std::make_unique<LocalNetworkControlPlane>(std::move(local));
  localNetwork_->start();
}

void TavolinMacAgentApp::registerCommandHandlers() {
  auto& executor = *commandExecutor_;
  const auto& input = platform_.inputInjector;
  const auto& geometry = platform_.displayGeometry;
  InputCommands(input, geometry).registerWith(executor);
  GamepadCommands(input, geometry, platform_.systemInfo->platformName()).registerWith(executor);
  ClipboardCommands(platform_.pasteboard).registerWith(executor);
  PhoneMediaUploads(PhoneMediaUploadLocations::fromAppPaths(*paths_), *clock_)
      .registerWith(executor);
  BenchmarkSurfaceCommands(mainExecutor_, geometry, platform_.benchmarkSurfaces, *clock_)
      .registerWith(executor);
  appCommands_ =
      std::make_shared<AppCommands>(platform_.workspace, platform_.windowList,
                                    platform_.browserTabs, [input] { return input->isTrusted(); });
  appCommands_->registerWith(executor);
}

}  // namespace tavolin
