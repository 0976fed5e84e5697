#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"

#include <algorithm>
#include <cmath>

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

namespace tavolin {
namespace {

constexpr double kDefaultFramesPerSecond = 60;
constexpr double kMaximumFramesPerSecond = 1000;
constexpr int kMaximumSide = 16384;

std::size_t chromaWidth(PixelSize size) {
  return static_cast<std::size_t>(size.width + 1) / 2;
}

std::size_t chromaHeight(PixelSize size) {
  return static_cast<std::size_t>(size.height + 1) / 2;
}

std::size_t lumaBytes(PixelSize size) {
  return static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
}

std::size_t byteCount(LiveScreenPixelFormat format, PixelSize size) {
  if (format == LiveScreenPixelFormat::bgra)
    return lumaBytes(size) * 4;
  return lumaBytes(size) + 2 * chromaWidth(size) * chromaHeight(size);
}

std::size_t planeOffset(PixelSize size, int index) {
  return index == 0 ? 0 : lumaBytes(size) + (index - 1) * chromaWidth(size) * chromaHeight(size);
}

std::chrono::steady_clock::duration frameInterval(double framesPerSecond) {
  const double rate = std::isnan(framesPerSecond)
                          ? kDefaultFramesPerSecond
                          : std::clamp(framesPerSecond, 1.0, kMaximumFramesPerSecond);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / rate));
}

}  // namespace

const std::uint8_t* LiveScreenFrame::plane(int index) const {
  return bytes.data() + (pixelFormat == LiveScreenPixelFormat::bgra ? 0 : planeOffset(size, index));
}

int LiveScreenFrame::stride(int index) const {
  if (pixelFormat == LiveScreenPixelFormat::bgra)
    return size.width * 4;
  return index == 0 ? size.width : static_cast<int>(chromaWidth(size));
}

// Recycles frame buffers so that a running capture does not map and fault in megabytes per
// frame. A frame released after the pool is gone is simply freed.
class LiveScreenCapture::FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  explicit FramePool(std::size_t limit) : limit_(limit) {}

  std::shared_ptr<LiveScreenFrame> make() {
    std::unique_ptr<LiveScreenFrame> frame;
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        frame = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!frame)
      frame = std::make_unique<LiveScreenFrame>();
    std::weak_ptr<FramePool> pool = weak_from_this();
    return std::shared_ptr<LiveScreenFrame>(frame.release(), [pool](LiveScreenFrame* released) {
      std::unique_ptr<LiveScreenFrame> owned(released);
      if (auto alive = pool.lock())
        alive->giveBack(std::move(owned));
    });
  }

 private:
  void giveBack(std::unique_ptr<LiveScreenFrame> frame) noexcept {
    try {
      std::lock_guard lock(mutex_);
      if (free_.size() < limit_)
        free_.push_back(std::move(frame));
    } catch (...) {
      // Out of memory for the free list: the frame is freed instead.
    }
  }

  const std::size_t limit_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<LiveScreenFrame>> free_;
};

LiveScreenCapture::LiveScreenCapture(std::shared_ptr<ScreenCapture> capture,
                                     LiveScreenCaptureSettings settings, int queueDepth,
                                     std::function<void()> frameAvailable, std::string label,
                                     std::shared_ptr<const Clock> clock)
    : capture_(std::move(capture)),
      queueDepth_(std::clamp(queueDepth, kMinimumQueueDepth, kMaximumQueueDepth)),
      frameAvailable_(std::move(frameAvailable)),
      label_(std::move(label)),
      clock_(std::move(clock)),
      // The queue, one frame being filled and one in the consumer's hands.
      pool_(std::make_shared<FramePool>(static_cast<std::size_t>(queueDepth_) + 2)),
      settings_(std::move(settings)) {}

LiveScreenCapture::~LiveScreenCapture() {
  stop();
}

void LiveScreenCapture::start() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (queue_)
    return;
  {
    std::lock_guard lock(framesMutex_);
    frames_.clear();
    counters_ = {};
    running_ = true;
  }
  frameCounter_ = 0;
  queue_ = std::make_unique<SerialQueue>(label_);
  timer_ = std::make_unique<asio::steady_timer>(queue_->executor());
  queue_->post([this] {
    // A source belongs to the thread that grabs with it.
    source_ = capture_->makeSource();
    nextTick_ = std::chrono::steady_clock::now();
    tick();
  });
}

void LiveScreenCapture::stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!queue_)
    return;
  queue_->stop();
  // The thread has ended: nothing below is in use any more.
  timer_.reset();
  source_.reset();
  queue_.reset();
  {
    std::lock_guard lock(framesMutex_);
    running_ = false;
  }
  framesChanged_.notify_all();
}

bool LiveScreenCapture::isRunning() const {
  std::lock_guard lock(framesMutex_);
  return running_;
}

void LiveScreenCapture::reconfigure(LiveScreenCaptureSettings settings) {
  std::lock_guard lock(settingsMutex_);
  settings_ = std::move(settings);
}

std::shared_ptr<const LiveScreenFrame> LiveScreenCapture::takeFrame() {
  std::lock_guard lock(framesMutex_);
  if (frames_.empty())
    return nullptr;
  auto frame = std::move(frames_.front());
  frames_.pop_front();
  return frame;
}

std::shared_ptr<const LiveScreenFrame> LiveScreenCapture::waitForFrame(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(framesMutex_);
  framesChanged_.wait_for(lock, timeout, [this] { return !frames_.empty() || !running_; });
  if (frames_.empty())
    return nullptr;
  auto frame = std::move(frames_.front());
  frames_.pop_front();
  return frame;
}

LiveScreenCaptureCounters LiveScreenCapture::counters() const {
  std::lock_guard lock(framesMutex_);
  return counters_;
}

void LiveScreenCapture::tick() {
  double framesPerSecond = kDefaultFramesPerSecond;
  {
    std::lock_guard lock(settingsMutex_);
    framesPerSecond = settings_.framesPerSecond;
  }
  // The next tick is armed before this frame's work, so a throwing frame cannot end the
  // capture. A capture that fell behind goes on from now instead of bursting to catch up.
  nextTick_ =
      std::max(nextTick_ + frameInterval(framesPerSecond), std::chrono::steady_clock::now());
  timer_->expires_at(nextTick_);
  timer_->async_wait([this](const boost::system::error_code& error) {
    if (!error)
      tick();
  });
  captureOne();
}

void LiveScreenCapture::captureOne() {
  const auto fail = [this] {
    std::lock_guard lock(framesMutex_);
    ++counters_.failedGrabs;
  };
  const std::optional<CapturedImage> image = source_->grab();
  if (!image || image->pixels == nullptr || image->width < 1 || image->height < 1)
    return fail();
  LiveScreenCaptureSettings settings;
  {
    std::lock_guard lock(settingsMutex_);
    settings = settings_;
  }
  const PixelSize display{image->width, image->height};
  const PixelSize size = settings.targetSize ? settings.targetSize(display) : display;
  if (size.width < 1 || size.height < 1 || size.width > kMaximumSide || size.height > kMaximumSide)
    return fail();

  std::shared_ptr<LiveScreenFrame> frame = pool_->make();
  frame->pixelFormat = settings.pixelFormat;
  frame->size = size;
  frame->displaySize = display;
  frame->bytes.resize(byteCount(settings.pixelFormat, size));
  if (!fill(*frame, *image))
    return fail();
  frame->frameId = ++frameCounter_;
  frame->clock = ScreenCaptureClock::forFrame(image->uptimeNs, *clock_);
  {
    std::lock_guard lock(framesMutex_);
    if (frames_.size() >= static_cast<std::size_t>(queueDepth_)) {
      frames_.pop_front();
      ++counters_.dropped;
    }
    frames_.push_back(std::move(frame));
    ++counters_.captured;
  }
  framesChanged_.notify_all();
  if (frameAvailable_)
    frameAvailable_();
}

bool LiveScreenCapture::fill(LiveScreenFrame& frame, const CapturedImage& image) {
  const PixelSize size = frame.size;
  const bool scaled = size != PixelSize{image.width, image.height};
  const int sourceStride = static_cast<int>(image.stride);
  const int bgraStride = size.width * 4;
  // Bilinear rather than box: a live frame is replaced 60 times a second, so speed matters
  // more than the last bit of sharpness.
  const auto scaleInto = [&](std::uint8_t* destination) {
    return libyuv::ARGBScale(image.pixels, sourceStride, image.width, image.height, destination,
                             bgraStride, size.width, size.height, libyuv::kFilterBilinear) == 0;
  };
  if (frame.pixelFormat == LiveScreenPixelFormat::bgra) {
    if (scaled)
      return scaleInto(frame.bytes.data());
    return libyuv::ARGBCopy(image.pixels, sourceStride, frame.bytes.data(), bgraStride, size.width,
                            size.height) == 0;
  }
  const std::uint8_t* bgra = image.pixels;
  int stride = sourceStride;
  if (scaled) {
    scratch_.resize(static_cast<std::size_t>(bgraStride) * static_cast<std::size_t>(size.height));
    if (!scaleInto(scratch_.data()))
      return false;
    bgra = scratch_.data();
    stride = bgraStride;
  }
  std::uint8_t* base = frame.bytes.data();
  return libyuv::ARGBToI420(bgra, stride, base, frame.stride(0), base + planeOffset(size, 1),
                            frame.stride(1), base + planeOffset(size, 2), frame.stride(2),
                            size.width, size.height) == 0;
}

}  // namespace tavolin
