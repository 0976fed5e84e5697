#include "TavolinMacAgent/App/TavolinMacAgentApp.hpp"

#include "TavolinMacAgent/App/AgentConfiguration.hpp"
#include "TavolinMacAgent/App/TokenStoreChoice.hpp"

namespace tavolin {

TavolinMacAgentApp::TavolinMacAgentApp(Executor mainExecutor, std::ostream& diagnostics)
    : mainExecutor_(std::move(mainExecutor)), diagnostics_(diagnostics) {}

void TavolinMacAgentApp::applicationDidFinishLaunching(const Environment& environment) {
  baseURL_ = chooseBaseURL(environment);
  paths_ = AppPaths::fromEnvironment(environment);
  tokenStore_ = chooseTokenStore(environment, *paths_, makeKeychainStore(*paths_, diagnostics_));
  identity_ = DeviceIdentity::loadOrCreate(*tokenStore_);
  diagnostics_ << "TAVOLIN_AGENT_STARTED fingerprint=" << identity_->fingerprint() << std::endl;
}

}  // namespace tavolin
