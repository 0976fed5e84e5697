#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Security/FileTokenStore.hpp"
#include "TavolinCore/Security/KeychainTokenStore.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinCore/Security/MigratingTokenStore.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSecureItemStore.hpp"
#include "tests/support/FlakyTokenStore.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using testing::FlakyTokenStore;
using testing::TemporaryDirectory;
using Key = TavolinTokenKey;
using Operation = FakeSecureItemStore::Operation;

void writeRaw(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << contents;
}

fs::perms modeOf(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

std::optional<TokenStoreError> tokenStoreErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const TokenStoreError& error) {
    return error;
  }
  return std::nullopt;
}

std::optional<std::int32_t> statusThrownBy(const std::function<void()>& action) {
  const auto error = tokenStoreErrorOf(action);
  if (!error || error->kind() != TokenStoreError::Kind::unexpectedStatus) {
    return std::nullopt;
  }
  return error->status();
}

bool throwsInvalidData(const std::function<void()>& action) {
  const auto error = tokenStoreErrorOf(action);
  return error && error->kind() == TokenStoreError::Kind::invalidData &&
         error->description() == "The stored keychain value is not valid UTF-8.";
}

TEST(FileTokenStore, Read_StripsNewlinesAtBothEndsAndKeepsSpaces) {
  TemporaryDirectory directory;
  FileTokenStore store(directory.path());
  const auto file = store.fileFor(Key::agentToken);
  EXPECT_EQ(file, directory.path() / "agentToken.txt");

  const std::vector<std::pair<std::string, std::string>> cases{
      {"abc\n\n", "abc"},       {"\r\nabc\r\n", "abc"}, {"  abc  ", "  abc  "},
      {"\n  abc \n", "  abc "}, {"a\nb\n", "a\nb"},     {"", ""},
      {"\n\r\n", ""},           {"\tabc\t", "\tabc\t"}};
  for (const auto& [contents, expected] : cases) {
    writeRaw(file, contents);
    EXPECT_EQ(store.read(Key::agentToken), expected) << contents;
  }
  EXPECT_EQ(store.read(Key::ownerToken), std::nullopt);
}

TEST(FileTokenStore, Write_Makes0700And0600EvenOverWiderModesAndLeavesNoTemporaryFiles) {
  TemporaryDirectory directory;
  FileTokenStore fresh(directory.path() / "a" / "b");
  fresh.write("token", Key::agentToken);
  EXPECT_EQ(modeOf(fresh.rootDirectory()), fs::perms::owner_all);
  EXPECT_EQ(modeOf(fresh.fileFor(Key::agentToken)), fs::perms::owner_read | fs::perms::owner_write);

  FileTokenStore existing(directory.path() / "existing");
  writeRaw(existing.fileFor(Key::agentToken), "old");
  fs::permissions(existing.rootDirectory(), fs::perms(0755));
  fs::permissions(existing.fileFor(Key::agentToken), fs::perms(0644));
  existing.write(" new ", Key::agentToken);
  existing.write("", Key::ownerToken);
  EXPECT_EQ(modeOf(existing.rootDirectory()), fs::perms::owner_all);
  EXPECT_EQ(modeOf(existing.fileFor(Key::agentToken)),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(readFileIfExists(existing.fileFor(Key::agentToken)), " new ");
  EXPECT_EQ(existing.read(Key::ownerToken), "");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(existing.rootDirectory())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"agentToken.txt", "ownerToken.txt"}));

  existing.remove(Key::agentToken);
  EXPECT_FALSE(fs::exists(existing.fileFor(Key::agentToken)));
  EXPECT_NO_THROW(existing.remove(Key::agentToken));
}

TEST(FileTokenStore, BadFilesAndPaths_ThrowFilesystemErrorsOrReadAsNothing) {
  TemporaryDirectory directory;
  FileTokenStore store(directory.path());
  for (const std::string bytes : {"\xff", "ab\xc3", "\xc0\xaf", "\xed\xa0\x80"}) {
    writeRaw(store.fileFor(Key::agentToken), bytes);
    try {
      store.read(Key::agentToken);
      ADD_FAILURE() << "no error for non-UTF-8 bytes";
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence);
    }
  }
  fs::create_directory(store.fileFor(Key::ownerToken));
  EXPECT_THROW(store.read(Key::ownerToken), fs::filesystem_error);

  // A plain file where the directory should be: nothing stored there, and nowhere to write.
  writeRaw(directory.path() / "plain", "x");
  FileTokenStore onFile(directory.path() / "plain");
  EXPECT_EQ(onFile.read(Key::agentToken), std::nullopt);
  EXPECT_NO_THROW(onFile.remove(Key::agentToken));
  EXPECT_THROW(onFile.write("token", Key::agentToken), fs::filesystem_error);
}

TEST(MemoryTokenStore, ConcurrentWriters_KeepEveryKeyIntact) {
  MemoryTokenStore store;
  std::vector<std::thread> writers;
  for (const Key key : TavolinTokenKeys::allCases) {
    writers.emplace_back([&store, key] {
      for (int i = 0; i < 200; ++i) {
        store.write(std::to_string(i), key);
        store.read(key);
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  store.remove(Key::agentToken);
  store.remove(Key::agentToken);
  for (const Key key : TavolinTokenKeys::allCases) {
    EXPECT_EQ(store.read(key), key == Key::agentToken ? std::nullopt : std::optional("199"));
  }
}

class MigratingTokenStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<FlakyTokenStore> primary = std::make_shared<FlakyTokenStore>();
  std::shared_ptr<FlakyTokenStore> legacy = std::make_shared<FlakyTokenStore>();
};

TEST_F(MigratingTokenStoreTest, Read_MovesLegacyValueIntoPrimaryWhenDeleting) {
  MigratingTokenStore store(primary, legacy, true);
  legacy->seed("old-token", Key::agentToken);

  EXPECT_EQ(store.read(Key::agentToken), "old-token");
  EXPECT_EQ(primary->peek(Key::agentToken), "old-token");
  EXPECT_EQ(legacy->peek(Key::agentToken), std::nullopt);
  EXPECT_EQ(store.read(Key::agentToken), "old-token");

  // A stale legacy copy next to a primary value is removed, and the primary value wins.
  primary->seed("new", Key::ownerToken);
  legacy->seed("stale", Key::ownerToken);
  EXPECT_EQ(store.read(Key::ownerToken), "new");
  EXPECT_EQ(legacy->peek(Key::ownerToken), std::nullopt);

  const int writesBefore = primary->writes;
  EXPECT_EQ(store.read(Key::controllerToken), std::nullopt);
  EXPECT_EQ(primary->writes, writesBefore);
}

TEST_F(MigratingTokenStoreTest, Read_CopiesButKeepsLegacyValueWhenNotDeleting) {
  MigratingTokenStore store(primary, legacy, false);
  legacy->seed("old-token", Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), "old-token");
  EXPECT_EQ(primary->peek(Key::agentToken), "old-token");
  EXPECT_EQ(legacy->peek(Key::agentToken), "old-token");

  store.write("fresh", Key::ownerToken);
  legacy->seed("legacy", Key::ownerToken);
  EXPECT_EQ(store.read(Key::ownerToken), "fresh");
  EXPECT_EQ(legacy->peek(Key::ownerToken), "legacy");
  EXPECT_EQ(legacy->removes, 0);
}

TEST_F(MigratingTokenStoreTest, FailingLegacyDelete_FailsNeitherReadNorWriteNorRemove) {
  legacy->failRemove = true;
  MigratingTokenStore store(primary, legacy, true);
  legacy->seed("old-token", Key::agentToken);

  EXPECT_EQ(store.read(Key::agentToken), "old-token");
  EXPECT_EQ(primary->peek(Key::agentToken), "old-token");
  EXPECT_NO_THROW(store.write("next", Key::agentToken));
  EXPECT_EQ(primary->peek(Key::agentToken), "next");
  EXPECT_NO_THROW(store.remove(Key::agentToken));
  EXPECT_EQ(primary->peek(Key::agentToken), std::nullopt);
  EXPECT_EQ(legacy->removes, 3);
}

TEST_F(MigratingTokenStoreTest, WriteAndRemove_ClearLegacyPerFlagAndRemoveAlwaysClearsBoth) {
  for (const bool deleteLegacy : {false, true}) {
    MigratingTokenStore store(primary, legacy, deleteLegacy);
    legacy->seed("old", Key::agentToken);
    store.write("new", Key::agentToken);
    EXPECT_EQ(primary->peek(Key::agentToken), "new");
    EXPECT_EQ(legacy->peek(Key::agentToken), deleteLegacy ? std::nullopt : std::optional("old"));

    legacy->seed("old", Key::agentToken);
    store.remove(Key::agentToken);
    EXPECT_EQ(primary->peek(Key::agentToken), std::nullopt) << deleteLegacy;
    EXPECT_EQ(legacy->peek(Key::agentToken), std::nullopt) << deleteLegacy;
  }
}

TEST_F(MigratingTokenStoreTest, PrimaryAndLegacyReadErrors_Propagate) {
  MigratingTokenStore store(primary, legacy, true);
  legacy->seed("old-token", Key::agentToken);

  // A failed copy into primary must not lose the only copy.
  primary->failWrite = true;
  EXPECT_EQ(statusThrownBy([&] { store.read(Key::agentToken); }), -2);
  EXPECT_EQ(legacy->peek(Key::agentToken), "old-token");
  EXPECT_EQ(statusThrownBy([&] { store.write("x", Key::agentToken); }), -2);
  EXPECT_EQ(legacy->peek(Key::agentToken), "old-token");
  primary->failWrite = false;

  primary->failRead = true;
  EXPECT_EQ(statusThrownBy([&] { store.read(Key::agentToken); }), -1);
  EXPECT_EQ(legacy->reads, 1);
  primary->failRead = false;

  primary->failRemove = true;
  EXPECT_EQ(statusThrownBy([&] { store.remove(Key::agentToken); }), -3);
  primary->failRemove = false;

  legacy->failRead = true;
  EXPECT_EQ(statusThrownBy([&] { store.read(Key::agentToken); }), -1);
}

class KeychainTokenStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeSecureItemStore> items = std::make_shared<FakeSecureItemStore>();
  KeychainTokenStore store{items, "app.tavolin.test", std::nullopt};
  const SecureItemQuery agentQuery{"app.tavolin.test", "agentToken", std::nullopt};
};

TEST_F(KeychainTokenStoreTest, Write_UpdatesOrElseAddsWithDeviceOnlyAccessibility) {
  store.write("token-1", Key::agentToken);
  const auto calls = items->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], (FakeSecureItemStore::Call{Operation::update, agentQuery, "token-1", {}}));
  EXPECT_EQ(calls[1],
            (FakeSecureItemStore::Call{Operation::add, agentQuery, "token-1",
                                       SecureItemAccessibility::afterFirstUnlockThisDeviceOnly}));

  store.write("token-2", Key::agentToken);
  EXPECT_EQ(items->operations(),
            (std::vector{Operation::update, Operation::add, Operation::update}));
  ASSERT_EQ(items->items().size(), 1u);
  EXPECT_EQ(items->items()[0].data, "token-2");
  EXPECT_EQ(store.read(Key::agentToken), "token-2");
}

TEST_F(KeychainTokenStoreTest, Write_FailingStatusThrowsUnexpectedStatus) {
  items->failNext(Operation::update, -25293);
  EXPECT_EQ(statusThrownBy([&] { store.write("token", Key::agentToken); }), -25293);
  EXPECT_EQ(items->operations(), std::vector{Operation::update});

  items->failNext(Operation::add, SecureItemStatus::duplicateItem);
  EXPECT_EQ(statusThrownBy([&] { store.write("token", Key::agentToken); }),
            SecureItemStatus::duplicateItem);
}

TEST_F(KeychainTokenStoreTest, Read_MapsStatusesAndRejectsNonUTF8) {
  EXPECT_EQ(store.read(Key::agentToken), std::nullopt);

  // A store of its own for each item: a store answers a key it has read from memory.
  const auto freshRead = [&] {
    return KeychainTokenStore(items, "app.tavolin.test", std::nullopt).read(Key::agentToken);
  };
  items->putItem({agentQuery, "", SecureItemAccessibility::afterFirstUnlockThisDeviceOnly});
  EXPECT_EQ(freshRead(), "");
  for (const std::string bytes : {"\xc3\x28", "\xc0\xaf", "\xed\xa0\x80", "ok\xf4\x90\x80\x80"}) {
    items->remove(agentQuery);
    items->putItem({agentQuery, bytes, SecureItemAccessibility::afterFirstUnlockThisDeviceOnly});
    EXPECT_TRUE(throwsInvalidData(freshRead)) << bytes;
  }
  items->remove(agentQuery);
  items->putItem({agentQuery, "h\xc3\xa9 \xf0\x9f\x94\x91", SecureItemAccessibility::whenUnlocked});
  EXPECT_EQ(freshRead(), "h\xc3\xa9 \xf0\x9f\x94\x91");

  items->failNext(Operation::copy, SecureItemStatus::success);  // success without data
  EXPECT_TRUE(throwsInvalidData(freshRead));

  items->failNext(Operation::copy, -25293);
  const auto error = tokenStoreErrorOf(freshRead);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), TokenStoreError::Kind::unexpectedStatus);
  EXPECT_EQ(error->description(), "Keychain operation failed with status -25293.");
}

TEST_F(KeychainTokenStoreTest, Reads_AskTheItemsOnceUntilAWriteOrRemoveReplacesTheValue) {
  const auto copies = [&] {
    const auto operations = items->operations();
    return std::count(operations.begin(), operations.end(), Operation::copy);
  };
  items->putItem({agentQuery, "stored", SecureItemAccessibility::afterFirstUnlockThisDeviceOnly});
  store.warm();
  const auto warmed = copies();
  EXPECT_EQ(warmed, static_cast<long>(TavolinTokenKeys::allCases.size()));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(store.read(Key::agentToken), "stored");
    EXPECT_EQ(store.read(Key::directAccessSecret), std::nullopt);  // absence is remembered too
  }
  store.write("written", Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), "written");
  store.remove(Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), std::nullopt);
  EXPECT_EQ(copies(), warmed);

  // A failed read remembers nothing; a failed write forgets, since the item may have changed.
  KeychainTokenStore cold(items, "app.tavolin.test", std::nullopt);
  items->failNext(Operation::copy, SecureItemStatus::interactionNotAllowed);
  EXPECT_TRUE(tokenStoreErrorOf([&] { cold.read(Key::ownerToken); }));
  EXPECT_EQ(cold.read(Key::ownerToken), std::nullopt);
  items->failNext(Operation::update, SecureItemStatus::interactionNotAllowed);
  EXPECT_TRUE(tokenStoreErrorOf([&] { cold.write("owner", Key::ownerToken); }));
  const auto beforeReread = copies();
  EXPECT_EQ(cold.read(Key::ownerToken), std::nullopt);
  EXPECT_EQ(copies(), beforeReread + 1);
}

// Items whose reads wait at a gate after reading, as a slow Secret Service would.
class GatedItemStore final : public SecureItemStore {
 public:
  explicit GatedItemStore(std::shared_ptr<SecureItemStore> inner) : inner_(std::move(inner)) {}
  SecureItemCopyResult copy(const SecureItemQuery& query) override {
    auto result = inner_->copy(query);
    reading.set_value();
    gate.get_future().wait();
    return result;
  }
  std::int32_t update(const SecureItemQuery& query, std::string_view data) override {
    return inner_->update(query, data);
  }
  std::int32_t add(const SecureItemQuery& query, std::string_view data,
                   SecureItemAccessibility accessibility) override {
    return inner_->add(query, data, accessibility);
  }
  std::int32_t remove(const SecureItemQuery& query) override { return inner_->remove(query); }

  std::promise<void> reading, gate;

 private:
  std::shared_ptr<SecureItemStore> inner_;
};

TEST_F(KeychainTokenStoreTest, ReadOverlappingAWrite_DoesNotBringTheOldValueBack) {
  items->putItem({agentQuery, "old", SecureItemAccessibility::afterFirstUnlockThisDeviceOnly});
  auto gated = std::make_shared<GatedItemStore>(items);
  KeychainTokenStore shared(gated, "app.tavolin.test", std::nullopt);
  std::optional<std::string> slowRead;
  std::thread reader([&] { slowRead = shared.read(Key::agentToken); });
  gated->reading.get_future().wait();
  // The write does not wait for the read in progress.
  shared.write("new", Key::agentToken);
  gated->gate.set_value();
  reader.join();
  EXPECT_EQ(slowRead, "old");
  EXPECT_EQ(shared.read(Key::agentToken), "new");
}

TEST_F(KeychainTokenStoreTest, Remove_TreatsNotFoundAsSuccessAndOtherStatusesAsErrors) {
  store.write("token", Key::agentToken);
  store.remove(Key::agentToken);
  EXPECT_TRUE(items->items().empty());
  EXPECT_NO_THROW(store.remove(Key::agentToken));

  items->failNext(Operation::remove, SecureItemStatus::interactionNotAllowed);
  EXPECT_EQ(statusThrownBy([&] { store.remove(Key::agentToken); }),
            SecureItemStatus::interactionNotAllowed);
}

TEST_F(KeychainTokenStoreTest, AccessGroup_IsPartOfEveryQueryWhenSet) {
  KeychainTokenStore grouped(items, "svc", "team.group");
  grouped.read(Key::localPairingCode);
  grouped.write("v", Key::localPairingCode);
  grouped.remove(Key::localPairingCode);
  const SecureItemQuery expected{"svc", "localPairingCode", "team.group"};
  const auto calls = items->calls();
  ASSERT_EQ(calls.size(), 4u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.query, expected);
  }
}

}  // namespace
}  // namespace tavolin
