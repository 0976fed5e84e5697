#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/X11/X11ScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"
#include "tests/TavolinMacAgent/Streaming/DecodedJPEG.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/QuadrantWindows.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::DecodedJPEG;

// The test display's default size.
constexpr int kWidth = 1280;
constexpr int kHeight = 800;

// Quadrants: top-left, top-right, bottom-left, bottom-right.
constexpr std::uint32_t kQuadrants[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

// A quadrant's centre in an image of some size, and its colour there.
struct Probe {
  int x, y;
  std::uint8_t red, green, blue;
};

std::vector<Probe> probes(int width, int height) {
  std::vector<Probe> centres;
  for (int i = 0; i < 4; ++i) {
    centres.push_back({(i % 2 * 2 + 1) * width / 4, (i / 2 * 2 + 1) * height / 4,
                       static_cast<std::uint8_t>(kQuadrants[i] >> 16),
                       static_cast<std::uint8_t>(kQuadrants[i] >> 8),
                       static_cast<std::uint8_t>(kQuadrants[i])});
  }
  return centres;
}

bool pixelIs(const std::uint8_t* pixels, std::size_t stride, Probe probe) {
  const std::uint8_t* pixel = pixels + probe.y * stride + probe.x * 4;
  return pixel[0] == probe.blue && pixel[1] == probe.green && pixel[2] == probe.red;
}

// Shared-memory segments this process created, from the kernel's table.
struct Segment {
  int id = 0;
  unsigned perms = 0;
  std::size_t size = 0;
  int attached = 0;
};

std::vector<Segment> ownSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);  // header
  std::vector<Segment> segments;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long key = 0;
    int creator = 0;
    int lastUser = 0;
    Segment segment;
    fields >> key >> segment.id >> std::oct >> segment.perms >> std::dec >> segment.size >>
        creator >> lastUser >> segment.attached;
    if (fields && creator == getpid())
      segments.push_back(segment);
  }
  return segments;
}

class X11ScreenCaptureTest : public testing::XvfbSuite {
 protected:
  static void SetUpTestSuite() {
    XvfbSuite::SetUpTestSuite();
    window_ =
        new testing::QuadrantWindows(display->displayName(), kWidth, kHeight,
                                     {kQuadrants[0], kQuadrants[1], kQuadrants[2], kQuadrants[3]});
  }
  static void TearDownTestSuite() {
    delete window_;
    XvfbSuite::TearDownTestSuite();
  }

  std::shared_ptr<X11DisplayConnector> connector_ =
      std::make_shared<X11DisplayConnector>(display->displayName());

  static inline testing::QuadrantWindows* window_ = nullptr;
};

TEST_F(X11ScreenCaptureTest, SharedMemoryGrab_ReadsPixelsThroughARemovedSegment) {
  X11ScreenCapture capture(connector_);
  EXPECT_TRUE(capture.canCapture());
  auto source = capture.makeSource();
  const auto first = source->grab();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->width, kWidth);
  EXPECT_EQ(first->height, kHeight);
  EXPECT_EQ(first->stride, std::size_t{kWidth} * 4);
  for (const Probe& probe : probes(kWidth, kHeight))
    EXPECT_TRUE(pixelIs(first->pixels, first->stride, probe)) << probe.x << "," << probe.y;

  // One segment, held by us and the server, already marked for removal so that nothing
  // outlives the two of us; the next grab reuses it.
  auto segments = ownSegments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].size, std::size_t{kWidth} * kHeight * 4);
  EXPECT_EQ(segments[0].attached, 2);
  EXPECT_NE(segments[0].perms & 01000u, 0u) << "segment not marked for removal";
  const auto second = source->grab();
  ASSERT_TRUE(second);
  EXPECT_GT(second->uptimeNs, first->uptimeNs);
  ASSERT_EQ(ownSegments().size(), 1u);
  EXPECT_EQ(ownSegments()[0].id, segments[0].id);

  source.reset();
  // The server lets go when it handles the detach.
  connector_->connection()->sync();
  EXPECT_TRUE(ownSegments().empty());
}

TEST_F(X11ScreenCaptureTest, ForcedGetImage_ReadsSamePixelsWithoutSharedMemory) {
  X11ScreenCapture capture(connector_, X11ScreenCapture::Transfer::getImage);
  EXPECT_TRUE(capture.canCapture());
  auto source = capture.makeSource();
  for (int round = 0; round < 2; ++round) {
    const auto image = source->grab();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, kWidth);
    EXPECT_EQ(image->height, kHeight);
    for (const Probe& probe : probes(kWidth, kHeight))
      EXPECT_TRUE(pixelIs(image->pixels, image->stride, probe)) << probe.x << "," << probe.y;
  }
  EXPECT_TRUE(ownSegments().empty());
}

TEST_F(X11ScreenCaptureTest, StillFrame_DecodesToDisplayColoursOnBothTransfers) {
  for (auto transfer :
       {X11ScreenCapture::Transfer::automatic, X11ScreenCapture::Transfer::getImage}) {
    SCOPED_TRACE(transfer == X11ScreenCapture::Transfer::automatic ? "shm" : "getImage");
    ScreenFrameProvider provider(std::make_shared<X11ScreenCapture>(connector_, transfer),
                                 std::make_shared<X11DisplayGeometry>(connector_));
    const StillFrame full = provider.captureFrame();
    EXPECT_EQ(full.width, kWidth);
    EXPECT_EQ(full.height, kHeight);

    const StillFrame frame = provider.captureFrame(640, 0.56);
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, 400);
    EXPECT_EQ(frame.displayWidth, kWidth);
    EXPECT_EQ(frame.displayHeight, kHeight);
    const auto image = DecodedJPEG::fromBytes(frame.jpeg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(image->height, 400);
    for (const Probe& probe : probes(640, 400)) {
      EXPECT_TRUE(image->near(probe.x, probe.y, probe.blue, probe.green, probe.red))
          << probe.x << "," << probe.y;
    }
  }
}

TEST_F(X11ScreenCaptureTest, LiveCapture_DeliversScaledFramesWithRisingUptime) {
  LiveScreenCapture live(std::make_shared<X11ScreenCapture>(connector_),
                         {30, [](PixelSize) {
                            return PixelSize{320, 200};
                          }});
  live.start();
  std::uint64_t lastUptime = 0;
  for (int i = 0; i < 3; ++i) {
    const auto frame = live.waitForFrame(10s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size, (PixelSize{320, 200}));
    EXPECT_EQ(frame->displaySize, (PixelSize{kWidth, kHeight}));
    EXPECT_GT(frame->clock.uptimeNs, lastUptime);
    lastUptime = frame->clock.uptimeNs;
    for (const Probe& probe : probes(320, 200))
      EXPECT_TRUE(pixelIs(frame->plane(0), frame->stride(0), probe)) << probe.x << "," << probe.y;
  }
  live.stop();
  EXPECT_EQ(live.counters().failedGrabs, 0);
  // The segment goes once the server has handled the detach sent at stop; on a busy machine
  // that can come a little after stop returns.
  EXPECT_TRUE(testing::eventually([] { return ownSegments().empty(); }));
}

TEST(X11ScreenCaptureUnreachable, MissingDisplay_GivesCaptureFailedNotACrash) {
  for (const char* name : {":64999", "no-such-host.invalid:0", "garbage"}) {
    SCOPED_TRACE(name);
    auto connector = std::make_shared<X11DisplayConnector>(name);
    auto capture = std::make_shared<X11ScreenCapture>(connector);
    EXPECT_FALSE(capture->canCapture());
    EXPECT_FALSE(capture->makeSource()->grab());

    ScreenFrameProvider provider(capture, std::make_shared<X11DisplayGeometry>(connector));
    try {
      provider.captureFrame();
      ADD_FAILURE() << "a frame from nowhere";
    } catch (const ScreenFrameProviderError& error) {
      EXPECT_EQ(error.kind(), ScreenFrameProviderError::Kind::captureFailed);
    }
  }
}

}  // namespace
}  // namespace tavolin
