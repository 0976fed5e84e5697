#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Fake/FakeScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"
#include "tests/support/Eventually.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

// Counts frame notifications so a test can wait for the capture to get somewhere.
class FrameWaiter {
 public:
  std::function<void()> handler() {
    return [this] {
      std::lock_guard lock(mutex_);
      ++frames_;
      label_ = SerialQueue::currentLabel();
      changed_.notify_all();
    };
  }

  bool waitFor(int frames) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return frames_ >= frames; });
  }

  std::string label() {
    std::lock_guard lock(mutex_);
    return label_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int frames_ = 0;
  std::string label_;
};

std::shared_ptr<FakeScreenCapture> solidCapture(int width, int height) {
  return std::make_shared<FakeScreenCapture>(width, height,
                                             FakeScreenCapture::solid(width, height, 32, 128, 224));
}

LiveScreenCaptureSettings fast(std::function<PixelSize(PixelSize)> targetSize = {},
                               LiveScreenPixelFormat format = LiveScreenPixelFormat::bgra) {
  return {1000, std::move(targetSize), format};
}

TEST(LiveScreenCapture, SlowConsumer_KeepsNewestFramesAndCountsDrops) {
  FrameWaiter waiter;
  LiveScreenCapture live(solidCapture(16, 16), fast(), 3, waiter.handler());
  live.start();
  ASSERT_TRUE(waiter.waitFor(12));
  live.stop();

  const LiveScreenCaptureCounters counters = live.counters();
  ASSERT_GE(counters.captured, 12);
  EXPECT_EQ(counters.dropped, counters.captured - 3);
  EXPECT_EQ(counters.failedGrabs, 0);
  // What is left is the newest three, oldest first, still takeable after stop.
  for (std::int64_t id = counters.captured - 2; id <= counters.captured; ++id) {
    const auto frame = live.takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->frameId, id);
  }
  EXPECT_FALSE(live.takeFrame());
  EXPECT_FALSE(live.waitForFrame(10s));  // stopped: returns at once
  EXPECT_TRUE(waiter.label().ends_with(".screen-capture")) << waiter.label();
}

TEST(LiveScreenCapture, QueueDepth_IsClampedToOneThroughEight) {
  auto capture = solidCapture(4, 4);
  EXPECT_EQ(LiveScreenCapture(capture, fast(), 0).queueDepth(), 1);
  EXPECT_EQ(LiveScreenCapture(capture, fast(), 8).queueDepth(), 8);
  EXPECT_EQ(LiveScreenCapture(capture, fast(), 99).queueDepth(), 8);

  FrameWaiter waiter;
  LiveScreenCapture single(capture, fast(), -3, waiter.handler());
  single.start();
  ASSERT_TRUE(waiter.waitFor(4));
  single.stop();
  EXPECT_EQ(single.takeFrame()->frameId, single.counters().captured);
  EXPECT_FALSE(single.takeFrame());
}

TEST(LiveScreenCapture, KeepingUpConsumer_GetsEveryFrameInOrder) {
  LiveScreenCapture live(solidCapture(8, 8), {200, {}, LiveScreenPixelFormat::bgra}, 8);
  live.start();
  std::int64_t lastId = 0;
  std::uint64_t lastUptime = 0;
  for (int i = 0; i < 10; ++i) {
    const auto frame = live.waitForFrame(10s);
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->frameId, lastId);
    EXPECT_GT(frame->clock.uptimeNs, lastUptime);
    lastId = frame->frameId;
    lastUptime = frame->clock.uptimeNs;
  }
  live.stop();
  std::int64_t left = 0;
  while (live.takeFrame())
    ++left;
  const auto counters = live.counters();
  EXPECT_EQ(counters.captured, 10 + counters.dropped + left);
}

TEST(LiveScreenCapture, Frames_AreScaledAndConverted) {
  auto capture = solidCapture(64, 48);
  LiveScreenCapture live(capture, fast([](PixelSize display) {
                           return PixelSize{display.width / 2, display.height / 2};
                         }));
  live.start();
  auto frame = live.waitForFrame(10s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size, (PixelSize{32, 24}));
  EXPECT_EQ(frame->displaySize, (PixelSize{64, 48}));
  ASSERT_EQ(frame->bytes.size(), 32u * 24 * 4);
  EXPECT_EQ(frame->stride(0), 128);
  const std::uint8_t* corner = frame->plane(0) + 23 * 128 + 31 * 4;
  EXPECT_EQ(corner[0], 32);
  EXPECT_EQ(corner[1], 128);
  EXPECT_EQ(corner[2], 224);

  // Odd sizes in I420: chroma planes round up.
  live.reconfigure(fast([](PixelSize) { return PixelSize{31, 23}; }, LiveScreenPixelFormat::i420));
  do {
    frame = live.waitForFrame(10s);
    ASSERT_TRUE(frame);
  } while (frame->pixelFormat != LiveScreenPixelFormat::i420);
  EXPECT_EQ(frame->size, (PixelSize{31, 23}));
  EXPECT_EQ(frame->bytes.size(), 31u * 23 + 2 * 16 * 12);
  EXPECT_EQ(frame->stride(0), 31);
  EXPECT_EQ(frame->stride(2), 16);
  // BT.601 limited range of B 32, G 128, R 224: Y 141, U 72, V 177.
  EXPECT_NEAR(frame->plane(0)[22 * 31 + 30], 141, 2);
  EXPECT_NEAR(frame->plane(1)[11 * 16 + 15], 72, 2);
  EXPECT_NEAR(frame->plane(2)[11 * 16 + 15], 177, 2);
  live.stop();
}

TEST(LiveScreenCapture, MissingImagesAndRefusedSizes_CountAsFailedGrabs) {
  auto capture = solidCapture(16, 16);
  capture->setFailing(true);
  LiveScreenCapture live(capture, fast());
  live.start();
  // Grabs make no frames to wait for: the test watches the capture's count instead.
  ASSERT_TRUE(testing::eventually([&] { return capture->grabCount() >= 5; }));
  EXPECT_FALSE(live.takeFrame());

  live.reconfigure(fast([](PixelSize) { return PixelSize{0, 10}; }));
  capture->setFailing(false);
  const int grabs = capture->grabCount();
  ASSERT_TRUE(testing::eventually([&] { return capture->grabCount() >= grabs + 5; }));
  live.stop();
  EXPECT_FALSE(live.takeFrame());
  EXPECT_EQ(live.counters().captured, 0);
  EXPECT_GE(live.counters().failedGrabs, 10);
}

TEST(LiveScreenCapture, StartAndStop_AreIdempotentAndRestartStartsOver) {
  auto capture = solidCapture(8, 8);
  FrameWaiter waiter;
  LiveScreenCapture live(capture, fast(), 2, waiter.handler());
  live.stop();
  EXPECT_FALSE(live.isRunning());
  live.start();
  live.start();
  EXPECT_TRUE(live.isRunning());
  ASSERT_TRUE(waiter.waitFor(3));
  live.stop();
  live.stop();
  EXPECT_FALSE(live.isRunning());
  EXPECT_EQ(capture->sourcesMade(), 1);

  // Slow enough that frame 1 is still queued when the test looks.
  live.reconfigure({1, {}, LiveScreenPixelFormat::bgra});
  live.start();
  const auto frame = live.waitForFrame(10s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->frameId, 1);
  EXPECT_EQ(capture->sourcesMade(), 2);
  // Destruction stops the running capture.
}

}  // namespace
}  // namespace tavolin
