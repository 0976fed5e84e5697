#pragma once

// The quality a controller asks a live stream for, and what follows from it: the capture size
// and, for the WebRTC path, the bit-rate limits. Pure values, callable from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinMacAgent/Platform/Geometry.hpp"

namespace tavolin {

// Case order is the order of the raw values.
enum class ScreenStreamQuality { automatic, native, p2160, p1440, p1080, p720, p480, p360, p240 };

namespace ScreenStreamQualities {

inline constexpr std::array<ScreenStreamQuality, 9> allCases{
    ScreenStreamQuality::automatic, ScreenStreamQuality::native, ScreenStreamQuality::p2160,
    ScreenStreamQuality::p1440,     ScreenStreamQuality::p1080,  ScreenStreamQuality::p720,
    ScreenStreamQuality::p480,      ScreenStreamQuality::p360,   ScreenStreamQuality::p240};

// "auto", "native", "2160p", ... "240p".
std::string_view rawValue(ScreenStreamQuality quality);
// A non-empty valid raw value selects its case; anything else (missing, empty, unknown) is
// `native`.
ScreenStreamQuality fromMetadataValue(std::optional<std::string_view> value);

// The height the capture is limited to; none for `native` (the display's own height).
std::optional<int> heightCap(ScreenStreamQuality quality);

// The display scaled down (never up) to the quality's height cap, each side at least 2 and
// even.
PixelSize captureSize(ScreenStreamQuality quality, PixelSize display);

}  // namespace ScreenStreamQualities

// Environment knobs of the WebRTC stream, read once.
struct WebRTCTuning {
  int targetFramesPerSecond = 60;
  bool captureAtNativeRefreshRate = false;
  std::string preferredVideoCodec = "auto";
  std::string h264Profile = "constrained-baseline";
  std::int64_t maxQualityMinBitrate = 4'000'000;
  std::int64_t maxQualityCurrentBitrate = 35'000'000;
  int captureQueueDepth = 2;
  bool captureBGRA = false;
  // Telemetry messages are at least this far apart.
  std::uint64_t minimumTelemetryIntervalNs = 1'000'000'000 / 60;
  std::optional<int> temporalLayers;

  static WebRTCTuning fromEnvironment(const Environment& environment);
};

// Bits per second.
struct WebRTCBitratePlan {
  std::int64_t minimum = 0;
  std::int64_t start = 0;
  std::int64_t maximum = 0;
  bool operator==(const WebRTCBitratePlan&) const = default;
};

WebRTCBitratePlan webRTCBitratePlan(ScreenStreamQuality quality, const WebRTCTuning& tuning);

}  // namespace tavolin
