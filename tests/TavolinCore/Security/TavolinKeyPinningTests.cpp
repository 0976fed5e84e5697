#include <map>

#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/TavolinKeyPinning.hpp"
#include "tests/support/FlakyTokenStore.hpp"

namespace tavolin {
namespace {

using testing::FlakyTokenStore;

std::map<std::string, std::string> pinsIn(const FlakyTokenStore& store, TavolinTokenKey key) {
  return decodeJSON<std::map<std::string, std::string>>(store.values.at(key));
}

using Kind = TavolinKeyPinningResult::Kind;

TEST(TavolinKeyPinning, Fingerprint_IsTheFirstTwelveDigestBytesInHex) {
  // SHA-256("") = e3b0c442 98fc1c14 9afbf4c8 996fb924 ...
  EXPECT_EQ(TavolinKeyPinning::fingerprint(""), "e3:b0:c4:42:98:fc:1c:14:9a:fb:f4:c8");
  EXPECT_EQ(TavolinKeyPinning::fingerprint("aqrx8R2Y86A3gsPMwT0K25suzeEIoTCktTXZSGxlAGPTKkdYvmbZGv5"
                                           "BkDG4ysasZA7F7_I2Tjpktwq4YLkrHA"),
            "d9:90:fa:69:46:14:e6:f3:d6:25:3c:52");
  EXPECT_EQ(TavolinKeyPinning::fingerprint("   "), "0a:ad:7d:a7:7d:2e:d5:9c:39:6c:99:a7");
}

TEST(TavolinKeyPinning, SameKeyTwice_NewlyThenAlreadyTrusted) {
  FlakyTokenStore store;
  TavolinKeyPinning pinning(store);
  const auto first = pinning.verifyOrTrustDevice("device-1", "KEY-1");
  const auto second = pinning.verifyOrTrustDevice("device-1", "KEY-1");
  EXPECT_EQ(first.kind, Kind::newlyTrusted);
  EXPECT_EQ(second.kind, Kind::alreadyTrusted);
  EXPECT_EQ(first.fingerprint, second.fingerprint);
  EXPECT_EQ(first.fingerprint.size(), 35u);

  EXPECT_EQ(pinning.verifyOrTrustDevice("device-2", "KEY-2").kind, Kind::newlyTrusted);
  EXPECT_EQ(pinsIn(store, TavolinTokenKey::pinnedDevicePublicKeys),
            (std::map<std::string, std::string>{{"device-1", "KEY-1"}, {"device-2", "KEY-2"}}));
  // Devices and controllers are pinned apart, even under the same id.
  EXPECT_EQ(pinning.verifyOrTrustController("device-1", "OTHER").kind, Kind::newlyTrusted);
  EXPECT_EQ(pinsIn(store, TavolinTokenKey::pinnedControllerPublicKeys).at("device-1"), "OTHER");
}

TEST(TavolinKeyPinning, AbsentBlankOrMalformedKey_ThrowsMissingPublicKey) {
  FlakyTokenStore store;
  TavolinKeyPinning pinning(store);
  for (std::optional<std::string_view> key :
       {std::optional<std::string_view>(), std::optional<std::string_view>(""),
        std::optional<std::string_view>("   "), std::optional<std::string_view>("\n\t \r\n"),
        std::optional<std::string_view>("\u00a0\u3000\u2028"),
        std::optional<std::string_view>("KEY\xff\xfe")}) {
    try {
      pinning.verifyOrTrustController("c1", key);
      ADD_FAILURE() << "accepted a blank or malformed key";
    } catch (const TavolinKeyPinningError& error) {
      EXPECT_EQ(error.kind(), TavolinKeyPinningError::Kind::missingPublicKey);
      EXPECT_EQ(error.description(), "Peer c1 did not provide a public key.");
    }
  }
  EXPECT_TRUE(store.values.empty());
  // Pinning such bytes would have left a pin map that no longer reads back.
  EXPECT_THROW(pinning.verifyOrTrustController("c\xc3", "KEY"), TavolinKeyPinningError);
  EXPECT_TRUE(store.values.empty());

  // A key with surrounding spaces is pinned exactly as presented.
  EXPECT_EQ(pinning.verifyOrTrustController("c1", " KEY\n").fingerprint,
            TavolinKeyPinning::fingerprint(" KEY\n"));
  EXPECT_EQ(pinsIn(store, TavolinTokenKey::pinnedControllerPublicKeys).at("c1"), " KEY\n");
  EXPECT_THROW(pinning.verifyOrTrustController("c1", "KEY"), TavolinKeyPinningError);
}

TEST(TavolinKeyPinning, ChangedKey_ThrowsAndKeepsThePin) {
  FlakyTokenStore store;
  TavolinKeyPinning pinning(store);
  pinning.verifyOrTrustDevice("d1", "OLD");
  const std::string before = store.values.at(TavolinTokenKey::pinnedDevicePublicKeys);
  try {
    pinning.verifyOrTrustDevice("d1", "NEW");
    ADD_FAILURE() << "accepted a changed key";
  } catch (const TavolinKeyPinningError& error) {
    EXPECT_EQ(error.kind(), TavolinKeyPinningError::Kind::publicKeyChanged);
    EXPECT_EQ(error.description(), "Peer d1 public key changed from " +
                                       TavolinKeyPinning::fingerprint("OLD") + " to " +
                                       TavolinKeyPinning::fingerprint("NEW") + ".");
  }
  EXPECT_EQ(store.values.at(TavolinTokenKey::pinnedDevicePublicKeys), before);
  EXPECT_EQ(pinning.verifyOrTrustDevice("d1", "OLD").kind, Kind::alreadyTrusted);

  store.remove(TavolinTokenKey::pinnedDevicePublicKeys);
  EXPECT_EQ(pinning.verifyOrTrustDevice("d1", "NEW").kind, Kind::newlyTrusted);
}

TEST(TavolinKeyPinning, StoredPinMap_EmptyIsNoPinsAndCorruptIsAnError) {
  FlakyTokenStore store;
  TavolinKeyPinning pinning(store);
  store.values[TavolinTokenKey::pinnedDevicePublicKeys] = R"({"d1":"K1"})";
  EXPECT_EQ(pinning.verifyOrTrustDevice("d1", "K1").kind, Kind::alreadyTrusted);

  store.values[TavolinTokenKey::pinnedDevicePublicKeys] = "";
  EXPECT_EQ(pinning.verifyOrTrustDevice("d1", "K1").kind, Kind::newlyTrusted);

  for (std::string corrupt : {"not json", R"({"d1":5})", R"(["d1"])"}) {
    store.values[TavolinTokenKey::pinnedDevicePublicKeys] = corrupt;
    EXPECT_THROW(pinning.verifyOrTrustDevice("d2", "K2"), JSONDecodingError) << corrupt;
    EXPECT_EQ(store.values.at(TavolinTokenKey::pinnedDevicePublicKeys), corrupt);
  }

  store.values.clear();
  store.failWrite = true;
  EXPECT_THROW(pinning.verifyOrTrustDevice("d3", "K3"), TokenStoreError);
}

}  // namespace
}  // namespace tavolin
