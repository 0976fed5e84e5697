
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "tests/support/FlakyTokenStore.hpp"

namespace tavolin {
namespace {

using testing::FlakyTokenStore;

constexpr std::string_view kScalar = "P2buWL4acKBgJqqjjElefslF49u6pdBGg4RXU0f0tRo";
constexpr std::string_view kPublicKey =
    "aqrx8R2Y86A3gsPMwT0K25suzeEIoTCktTXZSGxlAGPTKkdYvmbZGv5BkDG4ysasZA7F7_I2Tjpktwq4YLkrHA";
// The P-256 group order n.
constexpr std::string_view kGroupOrder = "_____wAAAAD__________7zm-q2nF56E87nKwvxjJVE";
constexpr std::string_view kGroupOrderMinusOne = "_____wAAAAD__________7zm-q2nF56E87nKwvxjJVA";

TEST(DeviceIdentity, LoadOrCreate_CreatesOnceThenReloadsTheSameKey) {
  FlakyTokenStore store;
  const DeviceIdentity created = DeviceIdentity::loadOrCreate(store);
  ASSERT_EQ(store.writes, 1);
  const std::string& stored = store.values.at(TavolinTokenKey::devicePrivateKey);
  EXPECT_EQ(stored.size(), 43u);
  EXPECT_EQ(stored.find_first_of("=+/"), std::string::npos);

  const DeviceIdentity loaded = DeviceIdentity::loadOrCreate(store);
  EXPECT_EQ(store.writes, 1);
  EXPECT_EQ(loaded.publicKeyBase64URL(), created.publicKeyBase64URL());
  const std::optional<Bytes> publicKey = base64URLDecode(created.publicKeyBase64URL());
  ASSERT_TRUE(publicKey.has_value());
  EXPECT_EQ(publicKey->size(), 64u);
  EXPECT_EQ(created.publicKeyBase64URL().find('='), std::string::npos);
}

TEST(DeviceIdentity, LoadOrCreate_AcceptsPaddedAndStandardAlphabetText) {
  std::string standard(kScalar);
  for (char& c : standard) {
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  for (const std::string& text :
       {std::string(kScalar), std::string(kScalar) + "=", standard + "="}) {
    FlakyTokenStore store;
    store.values[TavolinTokenKey::devicePrivateKey] = text;
    const DeviceIdentity identity = DeviceIdentity::loadOrCreate(store);
    EXPECT_EQ(identity.publicKeyBase64URL(), kPublicKey) << text;
    EXPECT_EQ(identity.fingerprint(), "d9:90:fa:69:46:14:e6:f3:d6:25:3c:52");
    EXPECT_EQ(store.writes, 0) << text;
  }

  FlakyTokenStore edge;
  edge.values[TavolinTokenKey::devicePrivateKey] = std::string(kGroupOrderMinusOne);
  DeviceIdentity::loadOrCreate(edge);
  EXPECT_EQ(edge.writes, 0) << "n - 1 is the largest valid scalar";
}

TEST(DeviceIdentity, LoadOrCreate_ReplacesUnusableKeysSilently) {
  const std::string zero = base64URLEncode(Bytes(32, 0));
  const std::string short31 = base64URLEncode(Bytes(31, 7));
  const std::string long33 = base64URLEncode(Bytes(33, 7));
  for (const std::string& garbage : {std::string("not a key!"), std::string(), std::string("abcde"),
                                     zero, short31, long33, std::string(kGroupOrder)}) {
    FlakyTokenStore store;
    store.values[TavolinTokenKey::devicePrivateKey] = garbage;
    const DeviceIdentity identity = DeviceIdentity::loadOrCreate(store);
    EXPECT_EQ(store.writes, 1) << garbage;
    const std::string& replacement = store.values.at(TavolinTokenKey::devicePrivateKey);
    EXPECT_NE(replacement, garbage);
    EXPECT_EQ(DeviceIdentity::loadOrCreate(store).publicKeyBase64URL(),
              identity.publicKeyBase64URL());
  }
}

TEST(DeviceIdentity, LoadOrCreate_ThrowsWhenTheNewKeyCannotBeStored) {
  FlakyTokenStore store;
  store.failWrite = true;
  EXPECT_THROW(DeviceIdentity::loadOrCreate(store), TokenStoreError);
  EXPECT_TRUE(store.values.empty());
}

}  // namespace
}  // namespace tavolin
