#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/FallbackFrameSettings.hpp"

namespace tavolin {
namespace {

FallbackFrameSettings settingsFor(JSONObject payload) {
  return FallbackFrameSettings::fromPayload(payload);
}

TEST(FallbackFrameSettings, QualityNamesAndHeightsStayWithinTheLimits) {
  EXPECT_EQ(settingsFor({{"quality", "480p"}}), (FallbackFrameSettings{853, 0.6}));
  EXPECT_EQ(settingsFor({{"quality", "1080P"}}), (FallbackFrameSettings{1920, 0.78}));
  EXPECT_EQ(settingsFor({{"quality", "2160p"}}), (FallbackFrameSettings{3840, 0.82}));
  EXPECT_EQ(settingsFor({{"maxHeight", 100}}), (FallbackFrameSettings{480, 0.72}));
  EXPECT_EQ(settingsFor({{"maxHeight", 9000}}), (FallbackFrameSettings{6016, 0.72}));
  // An explicit height wins over the name's height, the name still picks the quality.
  EXPECT_EQ(settingsFor({{"quality", "240p"}, {"maxHeight", 719.6}}),
            (FallbackFrameSettings{1280, 0.44}));
  EXPECT_EQ(settingsFor({{"quality", "max"}, {"maxHeight", 100}}),
            (FallbackFrameSettings{6016, 0.84}));
  EXPECT_EQ(settingsFor({{"quality", "native"}}), (FallbackFrameSettings{6016, 0.84}));
}

TEST(FallbackFrameSettings, UnknownOrMistypedValuesFallBackToDefaults) {
  EXPECT_EQ(settingsFor({}), (FallbackFrameSettings{1920, 0.72}));
  EXPECT_EQ(settingsFor({{"quality", "ultra"}}), (FallbackFrameSettings{1920, 0.72}));
  EXPECT_EQ(settingsFor({{"quality", ""}, {"maxHeight", "720"}}),
            (FallbackFrameSettings{1920, 0.72}));
  EXPECT_EQ(settingsFor({{"quality", 720}}), (FallbackFrameSettings{1920, 0.72}));
}

}  // namespace
}  // namespace tavolin
