#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"
#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"

namespace tavolin {
namespace {

using Policy = TavolinConnectionPolicy;
using Mode = TavolinVideoTransportMode;
namespace Policies = TavolinConnectionPolicies;
namespace Modes = TavolinVideoTransportModes;

TEST(TavolinConnectionPolicy, MetadataValue_FoldsCaseBlanksAndDashesElseDirectPreferred) {
  EXPECT_EQ(Policies::fromMetadataValue("DIRECT-PREFERRED "), Policy::directPreferred);
  EXPECT_EQ(Policies::fromMetadataValue("\tLocal-Only\n"), Policy::localOnly);
  EXPECT_EQ(Policies::fromMetadataValue("\u00A0relay_allowed\u2028"), Policy::relayAllowed);
  EXPECT_EQ(Policies::fromMetadataValue("local only"), Policy::directPreferred);
  EXPECT_EQ(Policies::fromMetadataValue("localonly"), Policy::directPreferred);
  EXPECT_EQ(Policies::fromMetadataValue(""), Policy::directPreferred);
  EXPECT_EQ(Policies::fromMetadataValue(std::nullopt), Policy::directPreferred);
}

TEST(TavolinConnectionPolicy, RawValue_MatchesExactlyAndIsTheJson) {
  EXPECT_EQ(Policies::fromRawValue("local_only"), Policy::localOnly);
  EXPECT_EQ(Policies::fromRawValue("Local_Only"), std::nullopt);
  EXPECT_EQ(Policies::fromRawValue("local-only"), std::nullopt);
  EXPECT_EQ(Policies::fromRawValue(" local_only"), std::nullopt);
  for (const auto policy : Policies::allCases)
    EXPECT_EQ(Policies::fromRawValue(Policies::rawValue(policy)), policy);

  EXPECT_EQ(encodeJSON(Policy::relayAllowed), R"("relay_allowed")");
  EXPECT_EQ(decodeJSON<Policy>(R"("direct_preferred")"), Policy::directPreferred);
  EXPECT_THROW(decodeJSON<Policy>(R"("DIRECT_PREFERRED")"), JSONDecodingError);
  EXPECT_THROW(decodeJSON<Policy>("1"), JSONDecodingError);
}

TEST(TavolinConnectionPolicy, Titles_ShowTheLegacyRelayPolicyAsDisabled) {
  EXPECT_EQ(Policies::displayTitle(Policy::relayAllowed), "Relay Disabled");
  EXPECT_EQ(Policies::detailTitle(Policy::relayAllowed), "legacy setting ignored");
  EXPECT_EQ(Policies::systemImage(Policy::relayAllowed), "network.slash");
  EXPECT_EQ(Policies::systemImage(Policy::directPreferred),
            "point.3.connected.trianglepath.dotted");
}

TEST(TavolinConnectionPolicy, RelayURL_IsTurnOrTurnsInAnyCaseAfterTrimming) {
  EXPECT_TRUE(Policies::isRelayURL("turn:relay.example:3478"));
  EXPECT_TRUE(Policies::isRelayURL(" TURNS:relay.example:5349?transport=tcp"));
  EXPECT_TRUE(Policies::isRelayURL("\nTurn:x"));
  EXPECT_FALSE(Policies::isRelayURL("stun:stun.example:3478"));
  EXPECT_FALSE(Policies::isRelayURL("turn"));
  EXPECT_FALSE(Policies::isRelayURL("xturn:relay"));
  EXPECT_FALSE(Policies::isRelayURL(""));
}

TEST(TavolinConnectionPolicy, FilteredIceServers_DropRelayURLsAndServersLeftEmpty) {
  const std::vector<TavolinICEServer> servers{
      {.urls = {"turn:a.example", "stun:a.example", " TURNS:a.example"},
       .username = "user",
       .credential = "secret"},
      {.urls = {"turns:b.example", "turn:b.example"}},
      {.urls = {}},
      {.urls = {"stun:c.example", "stun:d.example"}},
  };
  const std::vector<TavolinICEServer> expected{
      {.urls = {"stun:a.example"}, .username = "user", .credential = "secret"},
      {.urls = {"stun:c.example", "stun:d.example"}},
  };
  EXPECT_EQ(Policies::filteredIceServers(servers), expected);
  EXPECT_TRUE(Policies::filteredIceServers({}).empty());
}

TEST(TavolinVideoTransportMode, MetadataValue_FoldsCaseAndBlanksButNotDashes) {
  EXPECT_EQ(Modes::fromMetadataValue(" Native_VideoToolbox"), Mode::nativeVideoToolbox);
  EXPECT_EQ(Modes::fromMetadataValue("native-videotoolbox"), Mode::webRTC);
  EXPECT_EQ(Modes::fromMetadataValue("AUTO\n"), Mode::automatic);
  EXPECT_EQ(Modes::fromMetadataValue("WebRTC"), Mode::webRTC);
  EXPECT_EQ(Modes::fromMetadataValue("quic"), Mode::webRTC);
  EXPECT_EQ(Modes::fromMetadataValue(std::nullopt), Mode::webRTC);
}

TEST(TavolinVideoTransportMode, RawValue_MatchesExactlyAndIsTheJson) {
  EXPECT_EQ(Modes::fromRawValue("auto"), Mode::automatic);
  EXPECT_EQ(Modes::fromRawValue("Auto"), std::nullopt);
  EXPECT_EQ(Modes::fromRawValue("automatic"), std::nullopt);
  EXPECT_EQ(encodeJSON(Mode::automatic), R"("auto")");
  EXPECT_EQ(encodeJSON(std::vector{Mode::webRTC, Mode::nativeVideoToolbox}),
            R"(["webrtc","native_videotoolbox"])");
  EXPECT_EQ(decodeJSON<Mode>(R"("native_videotoolbox")"), Mode::nativeVideoToolbox);
  EXPECT_THROW(decodeJSON<Mode>(R"("webRTC")"), JSONDecodingError);
  EXPECT_THROW(decodeJSON<Mode>("null"), JSONDecodingError);
}

}  // namespace
}  // namespace tavolin
