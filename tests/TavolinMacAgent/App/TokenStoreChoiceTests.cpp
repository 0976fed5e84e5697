#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/App/TokenStoreChoice.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using Key = TavolinTokenKey;

struct ChoiceSetup {
  TemporaryDirectory directory;
  AppPaths paths = AppPaths::fromEnvironment({{"HOME", (directory.path() / "home").string()}});
  std::shared_ptr<MemoryTokenStore> keychain = std::make_shared<MemoryTokenStore>();

  fs::path defaultLegacyDirectory() const {
    return paths.homeDirectory / ".tavolin" / "production-mac-agent-token-store";
  }
};

void writeTokenFile(const fs::path& directory, const std::string& name, const std::string& text) {
  fs::create_directories(directory);
  std::ofstream(directory / name) << text;
}

TEST(TokenStoreChoice, ExplicitDirectory_IsPrimaryAndLegacyDirectoryIsNotConsulted) {
  ChoiceSetup setup;
  const auto explicitDirectory = setup.directory.path() / "explicit";
  const auto legacyDirectory = setup.directory.path() / "legacy";
  writeTokenFile(legacyDirectory, "agentToken.txt", "legacy-agent\n");
  writeTokenFile(setup.defaultLegacyDirectory(), "agentToken.txt", "default-legacy-agent\n");
  setup.keychain->write("keychain-owner", Key::ownerToken);

  const auto store =
      chooseTokenStore({{"TAVOLIN_TOKEN_STORE_DIR", explicitDirectory.string()},
                        {"TAVOLIN_LEGACY_TOKEN_STORE_DIR", legacyDirectory.string()}},
                       setup.paths, setup.keychain);

  EXPECT_EQ(store->read(Key::agentToken), std::nullopt);
  EXPECT_EQ(readFileIfExists(legacyDirectory / "agentToken.txt"), "legacy-agent\n");
  // Keychain values are copied into the directory and stay in the keychain.
  EXPECT_EQ(store->read(Key::ownerToken), "keychain-owner");
  EXPECT_EQ(readFileIfExists(explicitDirectory / "ownerToken.txt"), "keychain-owner");
  EXPECT_EQ(setup.keychain->read(Key::ownerToken), "keychain-owner");
  store->write("new-controller", Key::controllerToken);
  EXPECT_EQ(readFileIfExists(explicitDirectory / "controllerToken.txt"), "new-controller");
  EXPECT_EQ(setup.keychain->read(Key::controllerToken), std::nullopt);
}

TEST(TokenStoreChoice, MissingLegacyDirectory_UsesTheKeychainStoreAlone) {
  ChoiceSetup setup;
  const auto missing = setup.directory.path() / "missing";
  EXPECT_EQ(chooseTokenStore({{"TAVOLIN_LEGACY_TOKEN_STORE_DIR", missing.string()}}, setup.paths,
                             setup.keychain),
            setup.keychain);
  EXPECT_FALSE(fs::exists(missing));
  // The explicit legacy path replaces the default one, which is not looked at either.
  writeTokenFile(setup.defaultLegacyDirectory(), "agentToken.txt", "default");
  EXPECT_EQ(chooseTokenStore({{"TAVOLIN_LEGACY_TOKEN_STORE_DIR", missing.string()}}, setup.paths,
                             setup.keychain),
            setup.keychain);
  fs::remove_all(setup.defaultLegacyDirectory());
  EXPECT_EQ(chooseTokenStore({}, setup.paths, setup.keychain), setup.keychain);
  // An empty value names no directory.
  EXPECT_EQ(chooseTokenStore({{"TAVOLIN_TOKEN_STORE_DIR", ""}}, setup.paths, setup.keychain),
            setup.keychain);
}

TEST(TokenStoreChoice, ExistingLegacyDirectory_MigratesValuesIntoTheKeychain) {
  ChoiceSetup setup;
  const auto explicitLegacy = setup.directory.path() / "legacy";
  for (const auto& [environment, legacyDirectory] :
       {std::pair<Environment, fs::path>{{}, setup.defaultLegacyDirectory()},
        std::pair<Environment, fs::path>{
            {{"TAVOLIN_LEGACY_TOKEN_STORE_DIR", explicitLegacy.string()}}, explicitLegacy}}) {
    setup.keychain = std::make_shared<MemoryTokenStore>();
    writeTokenFile(legacyDirectory, "agentToken.txt", "legacy-agent\n");
    writeTokenFile(legacyDirectory, "ownerToken.txt", "legacy-owner");

    const auto store = chooseTokenStore(environment, setup.paths, setup.keychain);
    ASSERT_NE(store, setup.keychain) << legacyDirectory;
    EXPECT_EQ(store->read(Key::agentToken), "legacy-agent");
    EXPECT_EQ(setup.keychain->read(Key::agentToken), "legacy-agent");
    EXPECT_FALSE(fs::exists(legacyDirectory / "agentToken.txt"));
    store->write("new-owner", Key::ownerToken);
    EXPECT_EQ(setup.keychain->read(Key::ownerToken), "new-owner");
    EXPECT_FALSE(fs::exists(legacyDirectory / "ownerToken.txt"));
  }

  // A plain file at the legacy path also counts as a legacy store; it simply holds nothing.
  const auto plainFile = setup.directory.path() / "legacy-file";
  std::ofstream(plainFile) << "x";
  const auto store = chooseTokenStore({{"TAVOLIN_LEGACY_TOKEN_STORE_DIR", plainFile.string()}},
                                      setup.paths, setup.keychain);
  EXPECT_NE(store, setup.keychain);
  EXPECT_EQ(store->read(Key::controllerToken), std::nullopt);
}

}  // namespace
}  // namespace tavolin
