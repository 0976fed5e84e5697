#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"
#include "tests/TavolinMacAgent/Streaming/DecodedJPEG.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using testing::DecodedJPEG;

// Left half blue, right half red, with a white bottom-right quadrant.
std::vector<std::uint8_t> quadrants(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      const bool right = x >= width / 2;
      const bool bottom = y >= height / 2;
      pixel[0] = !right || bottom ? 0xFF : 0;
      pixel[1] = right && bottom ? 0xFF : 0;
      pixel[2] = right ? 0xFF : 0;
    }
  }
  return pixels;
}

struct ProviderHarness {
  std::shared_ptr<FakeScreenCapture> capture;
  std::shared_ptr<FakeDisplayGeometry> geometry = std::make_shared<FakeDisplayGeometry>();
  std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
  ScreenFrameProvider provider;

  ProviderHarness(int width, int height)
      : capture(std::make_shared<FakeScreenCapture>(width, height, quadrants(width, height))),
        provider(capture, geometry, ScreenFrameProvider::kDefaultMaxDimension,
                 ScreenFrameProvider::kDefaultJPEGQuality, clock) {}
};

TEST(ScreenFrameProvider, StillFrameSize_ShrinksLongSideToMaximumOnly) {
  EXPECT_EQ(stillFrameSize({2880, 1800}, 1280), (PixelSize{1280, 800}));
  EXPECT_EQ(stillFrameSize({1024, 640}, 1280), (PixelSize{1024, 640}));
  EXPECT_EQ(stillFrameSize({1280, 1280}, 1280), (PixelSize{1280, 1280}));
  EXPECT_EQ(stillFrameSize({1281, 3}, 1280), (PixelSize{1280, 3}));
  EXPECT_EQ(stillFrameSize({1800, 2880}, 1280), (PixelSize{800, 1280}));
  // 1366 × 768 at 1280: 719.6 rounds up, not down.
  EXPECT_EQ(stillFrameSize({1366, 768}, 1280), (PixelSize{1280, 720}));
  // A sliver never shrinks to nothing.
  EXPECT_EQ(stillFrameSize({1, 5000}, 1280), (PixelSize{1, 1280}));
  EXPECT_EQ(stillFrameSize({5000, 1}, 1280), (PixelSize{1280, 1}));
  // Nonsense limits give the smallest frame, not a crash.
  EXPECT_EQ(stillFrameSize({1920, 1080}, 0), (PixelSize{1, 1}));
  EXPECT_EQ(stillFrameSize({1920, 1080}, -5), (PixelSize{1, 1}));
}

TEST(ScreenFrameProvider, LargeDisplay_GivesScaledJPEG) {
  ProviderHarness harness(2880, 1800);
  harness.geometry->bounds = Rect{0, 0, 1440.4, 899.6};

  const StillFrame frame = harness.provider.captureFrame();
  EXPECT_EQ(frame.width, 1280);
  EXPECT_EQ(frame.height, 800);
  EXPECT_EQ(frame.displayWidth, 1440);
  EXPECT_EQ(frame.displayHeight, 900);

  // The unsealed payload carries the same bytes once, in Base64.
  const ScreenFramePayload payload = frame.payload();
  EXPECT_EQ(payload.format, "jpeg");
  EXPECT_FALSE(payload.contentFormat);
  EXPECT_FALSE(payload.encryption);
  EXPECT_EQ(payload.width, 1280);
  EXPECT_EQ(payload.displayHeight, 900);
  EXPECT_EQ(payload.capturedAt, "2026-01-31T09:15:02.000Z");
  EXPECT_EQ(static_cast<std::size_t>(payload.byteLength), frame.jpeg.size());
  EXPECT_EQ(base64Decode(payload.imageBase64), frame.jpeg);

  const auto image = DecodedJPEG::fromBytes(frame.jpeg);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1280);
  EXPECT_EQ(image->height, 800);
  EXPECT_TRUE(image->near(320, 200, 0xFF, 0, 0));
  EXPECT_TRUE(image->near(960, 200, 0, 0, 0xFF));
  EXPECT_TRUE(image->near(320, 600, 0xFF, 0, 0));
  EXPECT_TRUE(image->near(960, 600, 0xFF, 0xFF, 0xFF));
}

TEST(ScreenFrameProvider, Arguments_OverrideProviderValuesForOneCall) {
  ProviderHarness harness(1024, 640);

  const StillFrame unchanged = harness.provider.captureFrame();
  EXPECT_EQ(unchanged.width, 1024);
  EXPECT_EQ(unchanged.height, 640);

  const StillFrame small = harness.provider.captureFrame(256);
  EXPECT_EQ(small.width, 256);
  EXPECT_EQ(small.height, 160);
  const auto image = DecodedJPEG::fromBytes(small.jpeg);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 256);
  EXPECT_TRUE(image->near(200, 40, 0, 0, 0xFF));

  // Quality changes the encoder's work: the best quality costs more bytes than the worst,
  // and out-of-range values are clamped rather than refused.
  const auto best = harness.provider.captureFrame(std::nullopt, 1.0);
  const auto worst = harness.provider.captureFrame(std::nullopt, 0.0);
  EXPECT_GT(best.jpeg.size(), worst.jpeg.size());
  EXPECT_EQ(harness.provider.captureFrame(std::nullopt, 7.0).jpeg.size(), best.jpeg.size());
  EXPECT_EQ(harness.provider.captureFrame(std::nullopt, -1.0).jpeg.size(), worst.jpeg.size());

  // The next call is back to the provider's own values.
  EXPECT_EQ(harness.provider.captureFrame().jpeg.size(), unchanged.jpeg.size());
}

TEST(ScreenFrameProvider, DisplayChanges_AreFollowedBetweenCalls) {
  ProviderHarness harness(800, 600);
  EXPECT_EQ(harness.provider.captureFrame().width, 800);

  harness.capture->setImage(3000, 1000, quadrants(3000, 1000));
  const StillFrame wide = harness.provider.captureFrame();
  EXPECT_EQ(wide.width, 1280);
  EXPECT_EQ(wide.height, 427);

  // Geometry gone after the grab: the display size is the grab's.
  harness.geometry->bounds.reset();
  const StillFrame lost = harness.provider.captureFrame();
  EXPECT_EQ(lost.displayWidth, 3000);
  EXPECT_EQ(lost.displayHeight, 1000);
  EXPECT_EQ(harness.capture->sourcesMade(), 1);
}

TEST(ScreenFrameProvider, NoImage_ThrowsCaptureFailedAndRecovers) {
  ProviderHarness harness(640, 400);
  harness.capture->setFailing(true);
  try {
    harness.provider.captureFrame();
    ADD_FAILURE() << "a failing capture produced a frame";
  } catch (const ScreenFrameProviderError& error) {
    EXPECT_EQ(error.kind(), ScreenFrameProviderError::Kind::captureFailed);
    EXPECT_EQ(error.description(), "Screen capture returned no image.");
  }
  // An empty image is no image either.
  harness.capture->setFailing(false);
  harness.capture->setImage(0, 0, {});
  EXPECT_THROW(harness.provider.captureFrame(), ScreenFrameProviderError);

  harness.capture->setImage(640, 400, quadrants(640, 400));
  EXPECT_EQ(harness.provider.captureFrame().width, 640);
}

// Notes the queue its sources are made on.
class QueueNotingCapture final : public ScreenCapture {
 public:
  explicit QueueNotingCapture(std::shared_ptr<ScreenCapture> inner) : inner_(std::move(inner)) {}
  std::unique_ptr<ScreenCaptureSource> makeSource() override {
    madeOn = SerialQueue::currentLabel();
    return inner_->makeSource();
  }
  bool canCapture() override { return inner_->canCapture(); }
  std::string madeOn;

 private:
  std::shared_ptr<ScreenCapture> inner_;
};

TEST(ScreenFrameProvider, AwaitedFrame_IsMadeOnTheProvidersQueueAndFailsAsThrown) {
  auto fake = std::make_shared<FakeScreenCapture>(640, 400, quadrants(640, 400));
  auto capture = std::make_shared<QueueNotingCapture>(fake);
  ScreenFrameProvider provider(capture, std::make_shared<FakeDisplayGeometry>());

  const StillFrame frame = testing::runAwaitable(provider.frame(320));
  EXPECT_EQ(frame.width, 320);
  EXPECT_TRUE(DecodedJPEG::fromBytes(frame.jpeg));
  EXPECT_TRUE(capture->madeOn.ends_with(".screen-capture")) << capture->madeOn;

  fake->setFailing(true);
  EXPECT_THROW(testing::runAwaitable(provider.frame()), ScreenFrameProviderError);
}

}  // namespace
}  // namespace tavolin
