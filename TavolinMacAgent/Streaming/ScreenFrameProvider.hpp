#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"

namespace tavolin {

class ScreenFrameProviderError : public TavolinError {
 public:
  enum class Kind { captureFailed, resizeFailed, encodeFailed };

  static ScreenFrameProviderError captureFailed();
  static ScreenFrameProviderError resizeFailed();
  static ScreenFrameProviderError encodeFailed();

  Kind kind() const { return kind_; }

 private:
  ScreenFrameProviderError(Kind kind, std::string description)
      : TavolinError(std::move(description)), kind_(kind) {}

  Kind kind_;
};

// The size a still frame of `image` pixels is sent at: the long side shrinks to
// `maxDimension` keeping the aspect ratio (each side at least 1 pixel); an image that already
// fits keeps its size.
PixelSize stillFrameSize(PixelSize image, int maxDimension);

// One still frame as JPEG bytes, with the sizes a controller needs to map points onto it.
struct StillFrame {
  Bytes jpeg;
  // The (scaled) image in pixels.
  int width = 0;
  int height = 0;
  // The main display in points.
  std::int64_t displayWidth = 0;
  std::int64_t displayHeight = 0;
  Date capturedAt{};

  // The plain "jpeg" payload with the bytes in Base64, for a route that sends it unsealed.
  ScreenFramePayload payload() const;
};

// One still JPEG frame of the main display, for controllers without a live stream. Grabbing,
// scaling and encoding take tens of milliseconds, so a coroutine awaits frame(), which does it on
// the provider's own queue; captureFrame() does it on the calling thread. Calls are serialised,
// because the capture source, the scaling buffer and the JPEG compressor are kept between calls
// so that repeated frames allocate little.
class ScreenFrameProvider {
 public:
  static constexpr int kDefaultMaxDimension = 1280;
  static constexpr double kDefaultJPEGQuality = 0.56;

  ScreenFrameProvider(std::shared_ptr<ScreenCapture> capture,
                      std::shared_ptr<DisplayGeometry> geometry,
                      int maxDimension = kDefaultMaxDimension,
                      double jpegQuality = kDefaultJPEGQuality,
                      std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>());
  ScreenFrameProvider(const ScreenFrameProvider&) = delete;
  ScreenFrameProvider& operator=(const ScreenFrameProvider&) = delete;

  // Grabs, scales and encodes one frame; missing arguments take the provider's own values.
  // `jpegQuality` runs from 0 to 1 (outside values are clamped, NaN counts as 0); a
  // `maxDimension` below 1 gives a 1×1 frame. Throws ScreenFrameProviderError.
  StillFrame captureFrame(std::optional<int> maxDimension = std::nullopt,
                          std::optional<double> jpegQuality = std::nullopt);

  // captureFrame() on the provider's queue (label ending ".screen-capture"); the awaiting
  // coroutine's executor stays free meanwhile. Keep the provider alive until it returns.
  Awaitable<StillFrame> frame(std::optional<int> maxDimension = std::nullopt,
                              std::optional<double> jpegQuality = std::nullopt);

  int maxDimension() const { return maxDimension_; }
  double jpegQuality() const { return jpegQuality_; }

 private:
  std::shared_ptr<ScreenCapture> capture_;
  std::shared_ptr<DisplayGeometry> geometry_;
  int maxDimension_;
  double jpegQuality_;
  std::shared_ptr<const Clock> clock_;

  std::mutex mutex_;
  std::unique_ptr<ScreenCaptureSource> source_;
  std::vector<std::uint8_t> scaled_;
  struct CompressorDeleter {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, CompressorDeleter> compressor_;  // a tjhandle, made on first use
  std::vector<std::uint8_t> jpeg_;

  // Last, so that it is joined before the state its work uses goes.
  SerialQueue queue_{"app.tavolin.agent.still-frame.screen-capture"};
};

}  // namespace tavolin
