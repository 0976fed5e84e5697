#include <gtest/gtest.h>

#include "TavolinMacAgent/Streaming/ScreenStreamQuality.hpp"

namespace tavolin {
namespace {

using Q = ScreenStreamQuality;
namespace Qs = ScreenStreamQualities;

TEST(ScreenStreamQualityNames, ValidRawValuesSelectAnythingElseIsNative) {
  for (const auto quality : Qs::allCases)
    EXPECT_EQ(Qs::fromMetadataValue(Qs::rawValue(quality)), quality);
  EXPECT_EQ(Qs::fromMetadataValue("1080p"), Q::p1080);
  EXPECT_EQ(Qs::fromMetadataValue("1080P"), Q::native);
  EXPECT_EQ(Qs::fromMetadataValue(""), Q::native);
  EXPECT_EQ(Qs::fromMetadataValue(std::nullopt), Q::native);
}

TEST(ScreenStreamQualityCaptureSize, ScalesDownToTheCapEvenAndNeverUp) {
  EXPECT_EQ(Qs::captureSize(Q::p1080, {2560, 1600}), (PixelSize{1728, 1080}));
  EXPECT_EQ(Qs::captureSize(Q::native, {2560, 1600}), (PixelSize{2560, 1600}));
  EXPECT_EQ(Qs::captureSize(Q::automatic, {2560, 1600}), (PixelSize{1152, 720}));
  EXPECT_EQ(Qs::captureSize(Q::p2160, {1280, 800}), (PixelSize{1280, 800}));
  // Odd sides round down to even, tiny ones stay at 2.
  EXPECT_EQ(Qs::captureSize(Q::native, {1367, 769}), (PixelSize{1366, 768}));
  EXPECT_EQ(Qs::captureSize(Q::p240, {0, 0}), (PixelSize{2, 2}));
}

TEST(WebRTCTuningEnvironment, ClampsRatesLayersAndTelemetry) {
  const auto defaults = WebRTCTuning::fromEnvironment({});
  EXPECT_EQ(defaults.targetFramesPerSecond, 60);
  EXPECT_EQ(defaults.minimumTelemetryIntervalNs, 1'000'000'000u / 60);
  EXPECT_FALSE(defaults.temporalLayers);

  const auto tuned = WebRTCTuning::fromEnvironment({{"TAVOLIN_TARGET_FPS", "abc"},
                                                    {"TAVOLIN_FRAME_TELEMETRY_HZ", "500"},
                                                    {"TAVOLIN_VIDEO_TEMPORAL_LAYERS", "1"},
                                                    {"TAVOLIN_PREFERRED_VIDEO_CODEC", " HEVC "},
                                                    {"TAVOLIN_CAPTURE_PIXEL_FORMAT", "32BGRA"}});
  EXPECT_EQ(tuned.targetFramesPerSecond, 60);
  EXPECT_EQ(tuned.minimumTelemetryIntervalNs, 1'000'000'000u / 60);  // clamped to the rate
  EXPECT_EQ(tuned.temporalLayers, 1);
  EXPECT_EQ(tuned.preferredVideoCodec, "hevc");
  EXPECT_TRUE(tuned.captureBGRA);

  const auto once = WebRTCTuning::fromEnvironment(
      {{"TAVOLIN_FRAME_TELEMETRY_HZ", "0"}, {"TAVOLIN_VIDEO_TEMPORAL_LAYERS", "0"}});
  EXPECT_EQ(once.minimumTelemetryIntervalNs, 1'000'000'000u);
  EXPECT_FALSE(once.temporalLayers);
}

TEST(WebRTCBitratePlanTable, NativeUsesTheEnvironmentAndAFixedCeiling) {
  const auto tuning =
      WebRTCTuning::fromEnvironment({{"TAVOLIN_MAX_QUALITY_MIN_BITRATE_BPS", "100"},
                                     {"TAVOLIN_MAX_QUALITY_CURRENT_BITRATE_BPS", "7000000"}});
  EXPECT_EQ(webRTCBitratePlan(Q::native, tuning),
            (WebRTCBitratePlan{800'000, 7'000'000, 60'000'000}));
  EXPECT_EQ(webRTCBitratePlan(Q::p720, tuning),
            (WebRTCBitratePlan{300'000, 6'000'000, 10'000'000}));
}

}  // namespace
}  // namespace tavolin
