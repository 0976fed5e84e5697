#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"

#include <algorithm>
#include <cmath>

#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"

namespace tavolin {

ScreenFrameProviderError ScreenFrameProviderError::captureFailed() {
  return ScreenFrameProviderError(Kind::captureFailed, "Screen capture returned no image.");
}

ScreenFrameProviderError ScreenFrameProviderError::resizeFailed() {
  return ScreenFrameProviderError(Kind::resizeFailed, "Screen capture resizing failed.");
}

ScreenFrameProviderError ScreenFrameProviderError::encodeFailed() {
  return ScreenFrameProviderError(Kind::encodeFailed, "Screen capture JPEG encoding failed.");
}

ScreenFramePayload StillFrame::payload() const {
  ScreenFramePayload payload;
  payload.format = "jpeg";
  payload.imageBase64 = base64Encode(jpeg);
  payload.width = width;
  payload.height = height;
  payload.displayWidth = displayWidth;
  payload.displayHeight = displayHeight;
  payload.byteLength = static_cast<std::int64_t>(jpeg.size());
  payload.capturedAt = TavolinISO8601::string(capturedAt);
  return payload;
}

PixelSize stillFrameSize(PixelSize image, int maxDimension) {
  const int longSide = std::max(image.width, image.height);
  if (longSide <= maxDimension)
    return image;
  const double scale = static_cast<double>(maxDimension) / longSide;
  const auto side = [scale](int length) {
    return std::max(1, static_cast<int>(std::lround(scale * length)));
  };
  return {side(image.width), side(image.height)};
}

void ScreenFrameProvider::CompressorDeleter::operator()(void* handle) const {
  tjDestroy(handle);
}

ScreenFrameProvider::ScreenFrameProvider(std::shared_ptr<ScreenCapture> capture,
                                         std::shared_ptr<DisplayGeometry> geometry,
                                         int maxDimension, double jpegQuality,
                                         std::shared_ptr<const Clock> clock)
    : capture_(std::move(capture)),
      geometry_(std::move(geometry)),
      maxDimension_(maxDimension),
      jpegQuality_(jpegQuality),
      clock_(std::move(clock)) {}

Awaitable<StillFrame> ScreenFrameProvider::frame(std::optional<int> maxDimension,
                                                 std::optional<double> jpegQuality) {
  co_return co_await runOn(queue_, [this, maxDimension, jpegQuality] {
    return captureFrame(maxDimension, jpegQuality);
  });
}

StillFrame ScreenFrameProvider::captureFrame(std::optional<int> maxDimension,
                                             std::optional<double> jpegQuality) {
  std::lock_guard lock(mutex_);
  if (!source_)
    source_ = capture_->makeSource();
  const std::optional<CapturedImage> image = source_->grab();
  if (!image || image->pixels == nullptr || image->width < 1 || image->height < 1)
    throw ScreenFrameProviderError::captureFailed();
  const Date capturedAt = clock_->now();

  // The image to encode: the capture itself when it fits, else a scaled copy.
  const PixelSize size =
      stillFrameSize({image->width, image->height}, maxDimension.value_or(maxDimension_));
  const std::uint8_t* pixels = image->pixels;
  std::size_t stride = image->stride;
  if (size != PixelSize{image->width, image->height}) {
    stride = static_cast<std::size_t>(size.width) * 4;
    scaled_.resize(stride * static_cast<std::size_t>(size.height));
    // Box filtering averages every source pixel, so thin text lines survive the shrink.
    if (libyuv::ARGBScale(image->pixels, static_cast<int>(image->stride), image->width,
                          image->height, scaled_.data(), static_cast<int>(stride), size.width,
                          size.height, libyuv::kFilterBox) != 0)
      throw ScreenFrameProviderError::resizeFailed();
    pixels = scaled_.data();
  }

  if (!compressor_)
    compressor_.reset(tjInitCompress());
  const double quality = jpegQuality.value_or(jpegQuality_);
  const int tjQuality =
      std::isnan(quality) ? 1 : std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
  const unsigned long capacity = tjBufSize(size.width, size.height, TJSAMP_420);
  if (!compressor_ || capacity == static_cast<unsigned long>(-1))
    throw ScreenFrameProviderError::encodeFailed();
  jpeg_.resize(capacity);
  unsigned char* output = jpeg_.data();
  unsigned long length = capacity;
  // The worst-case buffer is ours and reused; NOREALLOC keeps TurboJPEG from swapping it.
  if (tjCompress2(compressor_.get(), pixels, size.width, static_cast<int>(stride), size.height,
                  TJPF_BGRX, &output, &length, TJSAMP_420, tjQuality, TJFLAG_NOREALLOC) != 0)
    throw ScreenFrameProviderError::encodeFailed();

  const std::optional<Rect> bounds = geometry_->mainDisplayBounds();
  StillFrame frame;
  frame.jpeg.assign(jpeg_.begin(), jpeg_.begin() + static_cast<std::ptrdiff_t>(length));
  frame.width = size.width;
  frame.height = size.height;
  // The display can vanish between the grab and this question; the grab's size is then the
  // best answer (a point is a pixel on X11).
  frame.displayWidth = bounds ? std::llround(bounds->width) : image->width;
  frame.displayHeight = bounds ? std::llround(bounds->height) : image->height;
  frame.capturedAt = capturedAt;
  return frame;
}

}  // namespace tavolin
