#include "TavolinMacAgent/App/TokenStoreChoice.hpp"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "TavolinCore/Security/FileTokenStore.hpp"
#include "TavolinCore/Security/KeychainTokenStore.hpp"
#include "TavolinCore/Security/MigratingTokenStore.hpp"

namespace tavolin {
namespace fs = std::filesystem;
namespace {

std::optional<fs::path> directoryVariable(const Environment& environment, std::string_view name) {
  auto value = environmentValue(environment, name);
  if (!value || value->empty()) {
    return std::nullopt;
  }
  return fs::path(std::move(*value));
}

}  // namespace

std::shared_ptr<TokenStore> chooseTokenStore(const Environment& environment,
                                             const AppPaths& appPaths,
                                             std::shared_ptr<TokenStore> keychain) {
  if (const auto directory = directoryVariable(environment, "TAVOLIN_TOKEN_STORE_DIR")) {
    return std::make_shared<MigratingTokenStore>(std::make_shared<FileTokenStore>(*directory),
                                                 std::move(keychain), false);
  }
  const fs::path legacyDirectory =
      directoryVariable(environment, "TAVOLIN_LEGACY_TOKEN_STORE_DIR")
          .value_or(appPaths.homeDirectory / ".tavolin" / "production-mac-agent-token-store");
  // An unreadable parent counts as nothing there: the choice itself must not fail start-up.
  std::error_code error;
  if (fs::exists(legacyDirectory, error)) {
    return std::make_shared<MigratingTokenStore>(
        std::move(keychain), std::make_shared<FileTokenStore>(legacyDirectory), true);
  }
  return keychain;
}

std::shared_ptr<TokenStore> makeKeychainStore(const AppPaths& appPaths,
                                              std::shared_ptr<SecureItemStore> secureItemStore,
                                              std::ostream& diagnostics) {
  if (secureItemStore) {
    auto store = std::make_shared<KeychainTokenStore>(
        std::move(secureItemStore), std::string(kKeychainServiceName), std::nullopt);
    // Read here, at start: requests then find every secret in memory, not over D-Bus.
    store->warm();
    return store;
  }
  const fs::path directory = appPaths.dataDirectory / "token-store";
  diagnostics << "TAVOLIN_KEYCHAIN_UNAVAILABLE using file store at " << directory.string()
              << std::endl;
  return std::make_shared<FileTokenStore>(directory);
}

}  // namespace tavolin
