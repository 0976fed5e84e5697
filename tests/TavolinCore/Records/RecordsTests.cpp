#include <gtest/gtest.h>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Records/TavolinDeviceRole.hpp"
#include "TavolinCore/Records/TavolinFeatureFlags.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

TEST(Records, DeviceRoundTripsWithCapabilitiesAndOmitsAbsentOptionals) {
  const Device device{.id = "dev_1",
                      .ownerId = "own_1",
                      .name = "Studio",
                      .platform = "linux",
                      .capabilities = {{"screen", true}, {"codecs", JSONValue::strings({"h264"})}},
                      .status = "online",
                      .createdAt = "2026-01-31T09:15:02.000Z",
                      .updatedAt = "2026-01-31T09:15:02.000Z"};
  const std::string text = encodeJSON(device);
  EXPECT_EQ(text.find("hostname"), std::string::npos);
  EXPECT_EQ(text.find("null"), std::string::npos);
  EXPECT_EQ(text.rfind(R"({"id":"dev_1","ownerId":"own_1","name":"Studio","platform":"linux",)", 0),
            0u);
  EXPECT_EQ(decodeJSON<Device>(text), device);
}

TEST(Records, NestedResponsesDecodeFromControlPlaneJson) {
  const auto response = decodeJSON<SignalsResponse>(R"({"signals":[{"sequence":7.0,"id":"sig",
      "sessionId":"s","ownerId":"o","controllerId":"c","deviceId":"d","sender":"controller",
      "type":"answer","payload":{"sdp":"v=0","extra":[1,{"x":null}]},"createdAt":"t","unknown":5}]})");
  ASSERT_EQ(response.signals.size(), 1u);
  EXPECT_EQ(response.signals[0].sequence, 7);
  EXPECT_EQ(*response.signals[0].payload.find("sdp"), JSONValue("v=0"));

  const auto claim = decodeJSON<EnrollmentClaimResponse>(R"({"request":{"id":"r","deviceName":"n",
      "platform":"linux","capabilities":{},"status":"approved","expiresAt":"t","createdAt":"t"},
      "device":null})");
  EXPECT_EQ(claim.device, std::nullopt);
  EXPECT_EQ(claim.agentToken, std::nullopt);
}

TEST(Records, MissingOrMistypedNestedFieldFailsTheWholeDecode) {
  EXPECT_THROW(decodeJSON<SessionResponse>(R"({"session":{"id":"s"}})"), JSONDecodingError);
  EXPECT_THROW(decodeJSON<CommandsResponse>(R"({"commands":[{"id":"c","sessionId":"s",
      "controllerId":"c","deviceId":"d","type":"t","payload":{},"status":"queued",
      "createdAt":"t","result":"not an object"}]})"),
               JSONDecodingError);
  EXPECT_THROW(
      decodeJSON<TransportConfigResponse>(
          R"({"mode":"p2p","fallbackMode":"relay","iceServers":[{"urls":"stun:x"}],"relays":[]})"),
      JSONDecodingError);
  EXPECT_THROW(decodeJSON<OwnerStatus>(R"({"ownerExists":1,"bootstrapConfigured":true})"),
               JSONDecodingError);
}

TEST(Records, HeartbeatEncodesRequiredArraysEvenWhenEmpty) {
  HeartbeatPayload heartbeat{.hostname = "box", .runningApps = {}, .windows = {}};
  EXPECT_EQ(encodeJSON(heartbeat), R"({"hostname":"box","runningApps":[],"windows":[]})");
}

TEST(TavolinDeviceRole, RawValuesTitlesAndUnknownValues) {
  ASSERT_EQ(TavolinDeviceRoles::allCases.size(), 3u);
  EXPECT_EQ(TavolinDeviceRoles::rawValue(TavolinDeviceRoles::allCases[1]), "phoneHost");
  EXPECT_EQ(TavolinDeviceRoles::displayTitle(TavolinDeviceRole::desktopHost), "Computer Host");
  EXPECT_EQ(TavolinDeviceRoles::displayTitle(TavolinDeviceRole::phoneHost), "iPhone Host");
  EXPECT_EQ(TavolinDeviceRoles::fromRawValue("desktopController"),
            TavolinDeviceRole::desktopController);
  EXPECT_EQ(TavolinDeviceRoles::fromRawValue("DesktopHost"), std::nullopt);
}

TEST(TavolinFeatureFlags, EnvironmentWinsThenStoredDefaultThenEnabled) {
  testing::TemporaryDirectory temporary;
  UserDefaults defaults(temporary.path() / "defaults.json");
  const std::string key(TavolinFeatureFlags::phoneHostModeEnvironmentKey);
  const std::string defaultsKey(TavolinFeatureFlags::phoneHostModeDefaultsKey);

  EXPECT_TRUE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
  defaults.set(defaultsKey, false);
  EXPECT_TRUE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {{key, "  Yes  "}}));
  EXPECT_FALSE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {{key, "maybe"}}));
  EXPECT_FALSE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {{key, ""}}));

  defaults.set(defaultsKey, 0);
  EXPECT_FALSE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
  defaults.set(defaultsKey, 2.5);
  EXPECT_TRUE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
  defaults.set(defaultsKey, " OFF ");
  EXPECT_FALSE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
  defaults.set(defaultsKey, "sometimes");
  EXPECT_TRUE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
  defaults.set(defaultsKey, JSONArray{false});
  EXPECT_TRUE(TavolinFeatureFlags::phoneHostModeEnabled(defaults, {}));
}

}  // namespace
}  // namespace tavolin
