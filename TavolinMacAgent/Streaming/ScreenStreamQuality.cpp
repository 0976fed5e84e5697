#include "TavolinMacAgent/Streaming/ScreenStreamQuality.hpp"

#include <algorithm>
#include <cmath>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {
namespace ScreenStreamQualities {

std::string_view rawValue(ScreenStreamQuality quality) {
  switch (quality) {
    case ScreenStreamQuality::automatic:
      return "auto";
    case ScreenStreamQuality::native:
      return "native";
    case ScreenStreamQuality::p2160:
      return "2160p";
    case ScreenStreamQuality::p1440:
      return "1440p";
    case ScreenStreamQuality::p1080:
      return "1080p";
    case ScreenStreamQuality::p720:
      return "720p";
    case ScreenStreamQuality::p480:
      return "480p";
    case ScreenStreamQuality::p360:
      return "360p";
    case ScreenStreamQuality::p240:
      return "240p";
  }
  return "native";
}

ScreenStreamQuality fromMetadataValue(std::optional<std::string_view> value) {
  if (value) {
    for (const auto quality : allCases) {
      if (rawValue(quality) == *value)
        return quality;
    }
  }
  return ScreenStreamQuality::native;
}

std::optional<int> heightCap(ScreenStreamQuality quality) {
  switch (quality) {
    case ScreenStreamQuality::automatic:
    case ScreenStreamQuality::p720:
      return 720;
    case ScreenStreamQuality::native:
      return std::nullopt;
    case ScreenStreamQuality::p2160:
      return 2160;
    case ScreenStreamQuality::p1440:
      return 1440;
    case ScreenStreamQuality::p1080:
      return 1080;
    case ScreenStreamQuality::p480:
      return 480;
    case ScreenStreamQuality::p360:
      return 360;
    case ScreenStreamQuality::p240:
      return 240;
  }
  return std::nullopt;
}

PixelSize captureSize(ScreenStreamQuality quality, PixelSize display) {
  const double height = std::max(display.height, 1);
  const double width = std::max(display.width, 1);
  const double target =
      std::min(height, static_cast<double>(heightCap(quality).value_or(static_cast<int>(height))));
  const double scale = std::min(target / height, 1.0);
  const auto even = [](double side) {
    const int rounded = std::max(static_cast<int>(std::lround(side)), 2);
    return rounded - rounded % 2;
  };
  return {even(scale * width), even(scale * height)};
}

}  // namespace ScreenStreamQualities

WebRTCTuning WebRTCTuning::fromEnvironment(const Environment& environment) {
  WebRTCTuning tuning;
  tuning.targetFramesPerSecond =
      static_cast<int>(environmentInteger(environment, "TAVOLIN_TARGET_FPS", 60, 30, 120));
  tuning.captureAtNativeRefreshRate =
      environmentBoolean(environment, "TAVOLIN_CAPTURE_NATIVE_REFRESH", false);
  if (const auto codec = environmentValue(environment, "TAVOLIN_PREFERRED_VIDEO_CODEC")) {
    const std::string value = asciiLowercased(trimmedWhitespaceAndNewlines(*codec));
    if (value == "h264" || value == "h265" || value == "hevc")
      tuning.preferredVideoCodec = value;
  }
  if (const auto profile = environmentValue(environment, "TAVOLIN_H264_PROFILE")) {
    const std::string value = asciiLowercased(trimmedWhitespaceAndNewlines(*profile));
    if (value == "baseline" || value == "main" || value == "high")
      tuning.h264Profile = value;
  }
  tuning.maxQualityMinBitrate = environmentInteger(
      environment, "TAVOLIN_MAX_QUALITY_MIN_BITRATE_BPS", 4'000'000, 800'000, 20'000'000);
  tuning.maxQualityCurrentBitrate = environmentInteger(
      environment, "TAVOLIN_MAX_QUALITY_CURRENT_BITRATE_BPS", 35'000'000, 6'000'000, 60'000'000);
  tuning.captureQueueDepth =
      static_cast<int>(environmentInteger(environment, "TAVOLIN_CAPTURE_QUEUE_DEPTH", 2, 1, 8));
  if (const auto format = environmentValue(environment, "TAVOLIN_CAPTURE_PIXEL_FORMAT")) {
    const std::string value = asciiLowercased(trimmedWhitespaceAndNewlines(*format));
    tuning.captureBGRA = value == "bgra" || value == "32bgra";
  }
  const std::int64_t hertz =
      environmentInteger(environment, "TAVOLIN_FRAME_TELEMETRY_HZ", tuning.targetFramesPerSecond, 1,
                         tuning.targetFramesPerSecond);
  tuning.minimumTelemetryIntervalNs = 1'000'000'000 / static_cast<std::uint64_t>(hertz);
  const std::int64_t layers =
      environmentInteger(environment, "TAVOLIN_VIDEO_TEMPORAL_LAYERS", 0, 0, 3);
  if (layers >= 1)
    tuning.temporalLayers = static_cast<int>(layers);
  return tuning;
}

WebRTCBitratePlan webRTCBitratePlan(ScreenStreamQuality quality, const WebRTCTuning& tuning) {
  switch (quality) {
    case ScreenStreamQuality::automatic:
      return {350'000, 12'000'000, 24'000'000};
    case ScreenStreamQuality::native:
    case ScreenStreamQuality::p2160:
      return {tuning.maxQualityMinBitrate, tuning.maxQualityCurrentBitrate, 60'000'000};
    case ScreenStreamQuality::p1440:
      return {800'000, 22'000'000, 36'000'000};
    case ScreenStreamQuality::p1080:
      return {500'000, 12'000'000, 20'000'000};
    case ScreenStreamQuality::p720:
      return {300'000, 6'000'000, 10'000'000};
    case ScreenStreamQuality::p480:
      return {180'000, 2'400'000, 4'000'000};
    case ScreenStreamQuality::p360:
      return {120'000, 1'200'000, 2'400'000};
    case ScreenStreamQuality::p240:
      return {80'000, 700'000, 1'400'000};
  }
  return {};
}

}  // namespace tavolin
