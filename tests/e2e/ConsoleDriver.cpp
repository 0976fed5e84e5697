#include "tests/e2e/ConsoleDriver.hpp"

#include <array>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace tavolin::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDriverScript = TAVOLIN_SOURCE_DIR "/tests/e2e/web-console-driver.mjs";
constexpr const char* kPlaywright = TAVOLIN_SOURCE_DIR "/tests/e2e/node_modules/playwright-core";
constexpr const char* kChromium = "/usr/bin/chromium";

}  // namespace

PaintedDesktop::PaintedDesktop()
    : display_(kWidth, kHeight),
      pattern_(display_.displayName(), kWidth, kHeight,
               std::array<std::optional<std::uint32_t>, 4>{kSwatches[0].rgb, kSwatches[1].rgb,
                                                           kSwatches[2].rgb, std::nullopt}),
      recorder_(display_.displayName(), kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2) {}

::testing::AssertionResult browserInstalled() {
  if (!std::filesystem::exists(kPlaywright)) {
    return ::testing::AssertionFailure()
           << "playwright-core is not installed: run scripts/install-deps (npm ci in tests/e2e)";
  }
  if (!std::filesystem::exists(kChromium))
    return ::testing::AssertionFailure() << "Chromium is not installed: run scripts/install-deps";
  return ::testing::AssertionSuccess();
}

const JSONValue* member(const JSONObject& object, std::string_view key) {
  const JSONValue* value = object.find(key);
  if (value == nullptr)
    throw std::runtime_error("no \"" + std::string(key) + "\" in " + JSONValue(object).serialize());
  return value;
}

std::string stringAt(const JSONObject& object, std::string_view key) {
  const std::string* text = member(object, key)->string();
  return text ? *text : std::string();
}

double numberAt(const JSONObject& object, std::string_view key) {
  const double* number = member(object, key)->number();
  return number ? *number : -1;
}

const JSONObject& objectAt(const JSONObject& object, std::string_view key) {
  const JSONObject* found = member(object, key)->object();
  if (found == nullptr)
    throw std::runtime_error(std::string(key) + " is not an object");
  return *found;
}

std::vector<JSONObject> objectsAt(const JSONObject& object, std::string_view key) {
  std::vector<JSONObject> objects;
  if (const JSONArray* array = member(object, key)->array()) {
    for (const JSONValue& value : *array) {
      if (const JSONObject* item = value.object())
        objects.push_back(*item);
    }
  }
  return objects;
}

// JPEG and H.264 keep flat areas within a few levels; chroma subsampling and the video's colour
// range conversion add some more.
void expectPicture(const JSONObject& shown, int width, int height,
                   const std::vector<std::uint32_t>& colours) {
  EXPECT_EQ(numberAt(shown, "width"), width);
  EXPECT_EQ(numberAt(shown, "height"), height);
  const JSONArray& pixels = *member(shown, "pixels")->array();
  ASSERT_EQ(pixels.size(), colours.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    for (int channel = 0; channel < 3; ++channel) {
      const int expected = static_cast<int>((colours[i] >> (16 - 8 * channel)) & 0xFF);
      EXPECT_NEAR(*(*pixels[i].array())[channel].number(), expected, 24)
          << "point " << i << " channel " << channel;
    }
  }
}

ConsoleDriver::ConsoleDriver() : driver_(kDriverScript, 90s) {}

ConsoleDriver::~ConsoleDriver() {
  // Closing the browser first: a killed driver would leave Chromium behind.
  try {
    driver_.answer({{"op", "close"}});
  } catch (const std::exception&) {
  }
}

JSONObject ConsoleDriver::call(const JSONObject& request) {
  return driver_.call(request);
}

void ConsoleDriver::fill(const std::string& selector, const std::string& value) {
  call({{"op", "fill"}, {"selector", selector}, {"value", value}});
}

void ConsoleDriver::click(const std::string& selector) {
  call({{"op", "click"}, {"selector", selector}});
}

void ConsoleDriver::waitForText(const std::string& selector, const std::string& text) {
  call({{"op", "waitForText"}, {"selector", selector}, {"text", text}});
}

void ConsoleDriver::waitForToast(const std::string& text) {
  call({{"op", "waitForToast"}, {"text", text}});
}

std::string ConsoleDriver::text(const std::string& selector) {
  return stringAt(call({{"op", "text"}, {"selector", selector}}), "text");
}

std::string ConsoleDriver::value(const std::string& selector) {
  return stringAt(call({{"op", "value"}, {"selector", selector}}), "value");
}

double ConsoleDriver::count(const std::string& selector) {
  return numberAt(call({{"op", "count"}, {"selector", selector}}), "count");
}

std::vector<JSONObject> ConsoleDriver::requests(std::string_view pathIncludes, double after) {
  return objectsAt(
      call({{"op", "requests"}, {"after", after}, {"pathIncludes", std::string(pathIncludes)}}),
      "requests");
}

std::vector<JSONObject> ConsoleDriver::calls(std::string_view method, std::string_view path,
                                             double after) {
  std::vector<JSONObject> found = requests(path, after);
  std::erase_if(found, [&](const JSONObject& request) {
    return stringAt(request, "method") != method || stringAt(request, "path") != path;
  });
  return found;
}

double ConsoleDriver::mark() {
  return numberAt(call({{"op", "mark"}}), "mark");
}

JSONObject ConsoleDriver::profile() {
  const JSONObject answer =
      call({{"op", "localStorage"}, {"key", "tavolin.webConsole.profile.v1"}});
  const std::string* text = member(answer, "value")->string();
  if (text == nullptr)
    return {};
  const JSONValue parsed = JSONValue::parse(*text);
  return parsed.object() ? *parsed.object() : JSONObject{};
}

void ConsoleDriver::screenshot(const std::string& name) {
  const std::filesystem::path file =
      std::filesystem::path(TAVOLIN_E2E_ARTIFACTS_DIR) / (name + ".png");
  call({{"op", "screenshot"}, {"path", file.lexically_normal().string()}});
}

void reportToasts(ConsoleDriver& console) {
  try {
    std::cerr << "toasts shown: " << JSONValue(console.call({{"op", "toasts"}})).serialize()
              << "\n";
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
  }
}

void expectPatternShown(ConsoleDriver& console, bool live) {
  JSONArray points;
  std::vector<std::uint32_t> colours;
  for (const Swatch& swatch : kSwatches) {
    points.push_back(JSONArray{swatch.x, swatch.y});
    colours.push_back(swatch.rgb);
  }
  expectPicture(console.call({{"op", "screenPixels"}, {"points", points}, {"live", live}}), kWidth,
                kHeight, colours);
}

std::vector<std::pair<std::string, JSONObject>> channelMessages(ConsoleDriver& console,
                                                                std::string_view type) {
  std::vector<std::pair<std::string, JSONObject>> messages;
  for (const JSONObject& item : objectsAt(
           console.call({{"op", "channelMessages"}, {"type", std::string(type)}}), "messages")) {
    messages.emplace_back(stringAt(item, "label"), objectAt(item, "message"));
  }
  return messages;
}

testing::X11Events buttonPresses(const testing::X11Events& events) {
  return testing::eventsOfType(events, testing::X11EventRecorder::Event::Type::buttonPress);
}

}  // namespace tavolin::e2e
