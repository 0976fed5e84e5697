// What the browser tests share: the painted desktop the page is checked against, the page itself
// worked through web-console-driver.mjs (playwright-core) over its line protocol, and readers of
// the driver's JSON answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONValue.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/NodeDriver.hpp"
#include "tests/support/QuadrantWindows.hpp"
#include "tests/support/X11EventRecorder.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin::e2e {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;
// The browser's window: wider than the picture (16:10) once the side panel is taken, so the
// picture is pillarboxed.
constexpr int kViewportWidth = 1600;
constexpr int kViewportHeight = 760;

// The screen the tests paint: three coloured quadrants, and the recorder (black) in the
// bottom-right one. Points are fractions of the screen, in the quadrants' order.
struct Swatch {
  double x;
  double y;
  std::uint32_t rgb;
};
constexpr Swatch kSwatches[] = {
    {0.25, 0.25, 0xD02828}, {0.75, 0.25, 0x28B048}, {0.25, 0.75, 0x2848D0}, {0.75, 0.75, 0x000000}};

// A private Xvfb of kWidth × kHeight showing the swatches, with an X window over the
// bottom-right quadrant that records the input it gets.
class PaintedDesktop {
 public:
  PaintedDesktop();

  const testing::XvfbServer& display() const { return display_; }
  const std::string& displayName() const { return display_.displayName(); }
  testing::X11EventRecorder& recorder() { return recorder_; }

 private:
  testing::XvfbServer display_;
  testing::QuadrantWindows pattern_;
  testing::X11EventRecorder recorder_;
};

// Whether playwright-core and Chromium are where the driver looks for them.
::testing::AssertionResult browserInstalled();

const JSONValue* member(const JSONObject& object, std::string_view key);
std::string stringAt(const JSONObject& object, std::string_view key);
double numberAt(const JSONObject& object, std::string_view key);
const JSONObject& objectAt(const JSONObject& object, std::string_view key);
std::vector<JSONObject> objectsAt(const JSONObject& object, std::string_view key);

// A picture the page shows (the answer to screenPixels or imagePixels) is width × height and has
// the 0xRRGGBB colour colours[i] at point i.
void expectPicture(const JSONObject& shown, int width, int height,
                   const std::vector<std::uint32_t>& colours);

// The page side: the driver script over its line protocol. A refused request throws, which
// ends the test with the driver's reason.
class ConsoleDriver {
 public:
  ConsoleDriver();
  ~ConsoleDriver();
  ConsoleDriver(const ConsoleDriver&) = delete;
  ConsoleDriver& operator=(const ConsoleDriver&) = delete;

  JSONObject call(const JSONObject& request);

  void fill(const std::string& selector, const std::string& value);
  void click(const std::string& selector);
  void waitForText(const std::string& selector, const std::string& text);
  void waitForToast(const std::string& text);
  std::string text(const std::string& selector);
  std::string value(const std::string& selector);
  double count(const std::string& selector);
  std::vector<JSONObject> requests(std::string_view pathIncludes, double after = 0);
  // Requests made with `method` to exactly `path`.
  std::vector<JSONObject> calls(std::string_view method, std::string_view path, double after = 0);
  double mark();
  // The browser's saved profile, parsed.
  JSONObject profile();
  // Into build/e2e-artifacts/<name>.png.
  void screenshot(const std::string& name);

 private:
  testing::NodeDriver driver_;
};

// The toasts the page has shown, on standard error; for failure reports.
void reportToasts(ConsoleDriver& console);

// The screen as the page shows it, still frame or live video, matches the painted pattern.
void expectPatternShown(ConsoleDriver& console, bool live = false);

// Messages of `type` the page received on its data channels, with the channel's label.
std::vector<std::pair<std::string, JSONObject>> channelMessages(ConsoleDriver& console,
                                                                std::string_view type);

testing::X11Events buttonPresses(const testing::X11Events& events);

}  // namespace tavolin::e2e
