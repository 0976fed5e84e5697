#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"
#include "TavolinMacAgent/Streaming/ScreenCaptureClock.hpp"

namespace tavolin {

enum class LiveScreenPixelFormat {
  bgra,  // one plane, 4 bytes a pixel, rows of width × 4 bytes
  i420,  // Y (stride width), then U and V (stride and rows (side + 1) / 2), BT.601 limited range
};

// One frame of a live capture. Frames come from a pool: drop the pointer when done and its
// buffer is used again.
struct LiveScreenFrame {
  std::int64_t frameId = 0;  // 1, 2, ... per start; gaps are frames dropped in the queue
  LiveScreenPixelFormat pixelFormat = LiveScreenPixelFormat::bgra;
  PixelSize size;         // of these pixels
  PixelSize displaySize;  // of the display they were taken from
  ScreenCaptureClock clock;
  std::vector<std::uint8_t> bytes;

  // Plane 0 for BGRA; 0, 1, 2 (Y, U, V) for I420.
  const std::uint8_t* plane(int index) const;
  int stride(int index) const;
};

struct LiveScreenCaptureSettings {
  double framesPerSecond = 60;  // clamped to 1...1000; NaN means 60
  // The frame size for a display of the given pixel size (the capture size rule of a video
  // path); empty keeps the display's size. A result below 1×1 skips the frame.
  std::function<PixelSize(PixelSize display)> targetSize;
  LiveScreenPixelFormat pixelFormat = LiveScreenPixelFormat::bgra;
};

struct LiveScreenCaptureCounters {
  std::int64_t captured = 0;     // frames put into the queue
  std::int64_t dropped = 0;      // pushed out of a full queue before anyone took them
  std::int64_t failedGrabs = 0;  // ticks without an image (display gone, size refused)
};

// Grabs the main display at a target rate on its own serial queue, scales and converts each
// frame and offers it in a bounded queue where the newest frame wins: when the consumer falls
// behind, the oldest undelivered frame is dropped. Every public method is thread-safe.
// `frameAvailable` (optional) runs on the capture queue after each frame enters the queue; it
// must be quick (post to the consumer's own executor) and must not call stop().
class LiveScreenCapture {
 public:
  static constexpr int kMinimumQueueDepth = 1;
  static constexpr int kMaximumQueueDepth = 8;

  // `queueDepth` is clamped to 1...8. The label names the capture thread and should end in
  // ".screen-capture".
  LiveScreenCapture(std::shared_ptr<ScreenCapture> capture, LiveScreenCaptureSettings settings,
                    int queueDepth = 2, std::function<void()> frameAvailable = {},
                    std::string label = "app.tavolin.agent.screen-capture",
                    std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>());
  ~LiveScreenCapture();
  LiveScreenCapture(const LiveScreenCapture&) = delete;
  LiveScreenCapture& operator=(const LiveScreenCapture&) = delete;

  // Starts the capture thread; frames and counters start over. No effect while running.
  void start();
  // Stops and joins the capture thread and wakes every waiter. Frames still queued stay
  // takeable. Idempotent.
  void stop();
  bool isRunning() const;

  // Applies from the next frame on (a quality change: new size, rate or format).
  void reconfigure(LiveScreenCaptureSettings settings);

  // The oldest undelivered frame, or null when none is queued.
  std::shared_ptr<const LiveScreenFrame> takeFrame();
  // Like takeFrame, but waits up to `timeout` for a frame; null on timeout or when stopped.
  std::shared_ptr<const LiveScreenFrame> waitForFrame(std::chrono::milliseconds timeout);

  LiveScreenCaptureCounters counters() const;
  int queueDepth() const { return queueDepth_; }

 private:
  class FramePool;

  void tick();
  void captureOne();
  bool fill(LiveScreenFrame& frame, const CapturedImage& image);

  const std::shared_ptr<ScreenCapture> capture_;
  const int queueDepth_;
  const std::function<void()> frameAvailable_;
  const std::string label_;
  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<FramePool> pool_;

  mutable std::mutex settingsMutex_;
  LiveScreenCaptureSettings settings_;

  // The queue of undelivered frames and the counters, under one lock so they always agree.
  mutable std::mutex framesMutex_;
  std::condition_variable framesChanged_;
  std::deque<std::shared_ptr<const LiveScreenFrame>> frames_;
  LiveScreenCaptureCounters counters_;
  bool running_ = false;

  // Owned by start/stop; everything below the queue is touched only on the capture thread.
  std::mutex lifecycleMutex_;
  std::unique_ptr<SerialQueue> queue_;
  std::unique_ptr<asio::steady_timer> timer_;
  std::unique_ptr<ScreenCaptureSource> source_;
  std::chrono::steady_clock::time_point nextTick_;
  std::int64_t frameCounter_ = 0;
  std::vector<std::uint8_t> scratch_;  // scaled BGRA on the way to I420
};

}  // namespace tavolin
