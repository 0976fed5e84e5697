#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinMacAgent/Commands/BenchmarkSurfaceCommands.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeBenchmarkSurfaces.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "tests/support/ManualClock.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using Operation = FakeBenchmarkSurfaces::Operation;

class BenchmarkSurfaceCommandsTest : public ::testing::Test {
 protected:
  BenchmarkSurfaceCommandsTest() {
    BenchmarkSurfaceCommands(context.get_executor(), geometry, surfaces, clock,
                             {.flash = 20ms, .scroll = 20ms})
        .registerWith(executor);
  }

  // Runs the command, leaving its hide task waiting.
  CompleteCommandPayload send(std::string_view type, const JSONObject& payload) {
    auto answer = asio::co_spawn(context, executor.execute(type, payload), asio::use_future);
    context.restart();
    context.poll();
    return answer.get();
  }

  // Lets every pending hide task run out.
  void runHides() {
    context.restart();
    context.run();
  }

  std::vector<Operation> operations() const {
    std::vector<Operation> result;
    for (const auto& call : surfaces->calls())
      result.push_back(call.operation);
    return result;
  }

  asio::io_context context;
  std::shared_ptr<FakeDisplayGeometry> geometry = std::make_shared<FakeDisplayGeometry>();
  std::shared_ptr<FakeBenchmarkSurfaces> surfaces = std::make_shared<FakeBenchmarkSurfaces>();
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};
};

TEST_F(BenchmarkSurfaceCommandsTest, Flash_ShowsTheSequencesColourAtTheCentre) {
  const auto odd = send("benchmark_flash", {{"sequence", 7}});
  ASSERT_EQ(odd.status, "succeeded");
  EXPECT_EQ(odd.result, (JSONObject{{"sequence", 7},
                                    {"targetNormalizedX", 0.5},
                                    {"targetNormalizedY", 0.5},
                                    {"targetRed", 255},
                                    {"targetGreen", 13},
                                    {"targetBlue", 255},
                                    {"shownAt", TavolinISO8601::string(clock.now())}}));
  // 1920 × 1080: 1080 × 0.12 is below the smallest side.
  EXPECT_EQ(surfaces->flash(),
            (FakeBenchmarkSurfaces::Call{Operation::showFlash, Rect{885, 465, 150, 150},
                                         RGBColor{255, 13, 255}}));

  const auto even = send("benchmark_flash", {{"sequence", "8"}});
  EXPECT_EQ(*even.result.find("targetRed"), JSONValue(13));
  EXPECT_EQ(*even.result.find("sequence"), JSONValue(8));
  EXPECT_EQ(surfaces->flash()->color, (RGBColor{13, 255, 13}));

  EXPECT_EQ(*send("benchmark_flash", {}).result.find("sequence"), JSONValue(0));
  EXPECT_EQ(surfaces->flash()->color, (RGBColor{13, 255, 13}));
  send("benchmark_flash", {{"sequence", -3}});
  EXPECT_EQ(surfaces->flash()->color, (RGBColor{255, 13, 255}));
}

TEST_F(BenchmarkSurfaceCommandsTest, FlashSide_IsClampedBetween150And240) {
  EXPECT_EQ(BenchmarkSurfaceCommands::flashSquare({0, 0, 1000, 700}), (Rect{425, 275, 150, 150}));
  EXPECT_EQ(BenchmarkSurfaceCommands::flashSquare({0, 0, 3840, 2160}), (Rect{1800, 960, 240, 240}));
  const Rect between = BenchmarkSurfaceCommands::flashSquare({100, 50, 2560, 1440});
  EXPECT_DOUBLE_EQ(between.width, 1440 * 0.12);
  EXPECT_DOUBLE_EQ(between.x + between.width / 2, 100 + 1280);
  EXPECT_DOUBLE_EQ(between.y + between.height / 2, 50 + 720);
}

TEST_F(BenchmarkSurfaceCommandsTest, LaterFlash_ReplacesThePendingHide) {
  send("benchmark_flash", {{"sequence", 1}});
  send("benchmark_flash", {{"sequence", 2}});
  EXPECT_TRUE(surfaces->flash());
  runHides();
  EXPECT_EQ(operations(), (std::vector<Operation>{Operation::showFlash, Operation::showFlash,
                                                  Operation::hideFlash}));
  EXPECT_FALSE(surfaces->flash());
}

TEST_F(BenchmarkSurfaceCommandsTest, ScrollSurface_ReportsItsCentreColourAndHidesOnRequest) {
  const auto shown = send("benchmark_scroll_surface", {{"action", "show"}});
  ASSERT_EQ(shown.status, "succeeded");
  const RGBColor initial = ScrollSurfacePattern::initialCenterColor();
  EXPECT_EQ(*shown.result.find("targetNormalizedX"), JSONValue(0.5));
  EXPECT_EQ(*shown.result.find("targetNormalizedY"), JSONValue(0.5));
  EXPECT_EQ(*shown.result.find("initialRed"), JSONValue(initial.red));
  EXPECT_EQ(*shown.result.find("initialGreen"), JSONValue(initial.green));
  EXPECT_EQ(*shown.result.find("initialBlue"), JSONValue(initial.blue));
  EXPECT_EQ(surfaces->scrollSurface(), (Rect{690, 270, 540, 540}));

  const auto hidden = send("benchmark_scroll_surface", {{"action", "hide"}});
  EXPECT_EQ(hidden.status, "succeeded");
  EXPECT_FALSE(surfaces->scrollSurface());
  // The hide asked for cancels the delayed one.
  runHides();
  EXPECT_EQ(operations(),
            (std::vector<Operation>{Operation::showScrollSurface, Operation::hideScrollSurface}));

  send("benchmark_scroll_surface", {});
  EXPECT_TRUE(surfaces->scrollSurface());
  runHides();
  EXPECT_FALSE(surfaces->scrollSurface());
}

TEST_F(BenchmarkSurfaceCommandsTest, WithoutAMainDisplay_AnswersScreenUnavailable) {
  geometry->bounds.reset();
  EXPECT_EQ(send("benchmark_flash", {{"sequence", 1}}).result,
            (JSONObject{{"reason", "benchmark_flash_screen_unavailable"}}));
  EXPECT_EQ(send("benchmark_scroll_surface", {{"action", "show"}}).result,
            (JSONObject{{"reason", "benchmark_scroll_screen_unavailable"}}));
  EXPECT_TRUE(surfaces->calls().empty());

  geometry->bounds = Rect{0, 0, 1280, 800};
  surfaces->failShows();
  EXPECT_EQ(send("benchmark_flash", {{"sequence", 1}}).result,
            (JSONObject{{"reason", "benchmark_flash_screen_unavailable"}}));
  EXPECT_EQ(send("benchmark_scroll_surface", {{"action", "show"}}).result,
            (JSONObject{{"reason", "benchmark_scroll_screen_unavailable"}}));
  runHides();
  EXPECT_EQ(operations(),
            (std::vector<Operation>{Operation::showFlash, Operation::showScrollSurface}));
}

TEST(ScrollSurfacePattern, EveryWheelStep_ChangesTheCentreColour) {
  const RGBColor centre = ScrollSurfacePattern::color(0, 0);
  EXPECT_EQ(centre, ScrollSurfacePattern::initialCenterColor());
  for (const auto& [column, row] :
       std::vector<std::pair<int, int>>{{1, 0}, {-1, 0}, {0, 1}, {0, -1}})
    EXPECT_NE(ScrollSurfacePattern::color(column, row), centre) << column << "," << row;
  // Far from the start, in negative tiles too, neighbours still differ; diagonals repeat.
  EXPECT_NE(ScrollSurfacePattern::color(-101, -7), ScrollSurfacePattern::color(-101, -8));
  EXPECT_NE(ScrollSurfacePattern::color(-101, -7), ScrollSurfacePattern::color(-102, -7));
  EXPECT_EQ(ScrollSurfacePattern::color(-101, -7), ScrollSurfacePattern::color(-101 + 1, -7 - 1));
}

}  // namespace
}  // namespace tavolin
