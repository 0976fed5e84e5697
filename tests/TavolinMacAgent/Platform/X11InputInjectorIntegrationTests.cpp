#include <algorithm>
#include <chrono>
#include <future>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <boost/locale/encoding_utf.hpp>
#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"
#include "TavolinMacAgent/Commands/KeyNames.hpp"
#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/X11/X11InputInjector.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/X11EventRecorder.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using testing::eventually;
using testing::typedKeySyms;
using testing::X11EventRecorder;
using Type = X11EventRecorder::Event::Type;
using Events = testing::X11Events;
using KeySyms = std::vector<std::uint32_t>;
namespace Modifier = Modifier;

// The test display's default size.
constexpr int kWidth = 1280;
constexpr int kHeight = 800;

// The keysyms a person typing `text` expects: Latin-1 as it is, the rest as Unicode keysyms.
KeySyms keysymsOf(const std::u32string& text) {
  KeySyms keysyms;
  for (const char32_t c : text)
    keysyms.push_back(c < 0x100 ? c : 0x01000000 + c);
  return keysyms;
}

// Keycodes without a keysym in a mapping as X11EventRecorder::keyboardMapping() gives it.
std::size_t spareKeycodes(const KeySyms& layout) {
  const std::size_t perKeycode = layout.front();
  std::size_t spare = 0;
  for (std::size_t row = 1; row + perKeycode <= layout.size(); row += perKeycode) {
    spare += std::all_of(layout.begin() + row, layout.begin() + row + perKeycode,
                         [](std::uint32_t keysym) { return keysym == 0; });
  }
  return spare;
}

// `count` distinct CJK characters, none of them in any layout here.
std::u32string ideographs(std::size_t count) {
  std::u32string text;
  for (char32_t c = 0; c < count; ++c)
    text.push_back(0x4E00 + c);
  return text;
}

std::size_t countOf(const Events& events, Type type) {
  return testing::eventsOfType(events, type).size();
}

class X11InputInjectorTest : public testing::XvfbSuite {
 protected:
  X11InputInjectorTest() {
    InputCommands(injector, std::make_shared<X11DisplayGeometry>(connector)).registerWith(executor);
  }

  JSONObject run(std::string_view type, const JSONObject& payload) {
    const CompleteCommandPayload answer = testing::runAwaitable(executor.execute(type, payload));
    EXPECT_EQ(answer.status, "succeeded") << type;
    return answer.result;
  }

  // Waits for `count` typed keys and a release for every press, and returns the events.
  Events keyEvents(std::size_t count) {
    EXPECT_TRUE(recorder.waitUntil([&](const Events& events) {
      return typedKeySyms(events).size() >= count &&
             countOf(events, Type::keyPress) == countOf(events, Type::keyRelease);
    }));
    return recorder.events();
  }

  X11EventRecorder recorder{display->displayName(), 0, 0, kWidth, kHeight};
  std::shared_ptr<X11DisplayConnector> connector =
      std::make_shared<X11DisplayConnector>(display->displayName());
  std::shared_ptr<X11InputInjector> injector = std::make_shared<X11InputInjector>(connector);
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};
};

TEST_F(X11InputInjectorTest, TypedText_ArrivesAsItsKeySymsAndTheLayoutIsGivenBack) {
  const KeySyms layout = recorder.keyboardMapping();
  ASSERT_TRUE(injector->isTrusted());
  // A control character without a key and an invalid byte are skipped.
  ASSERT_TRUE(injector->typeText("Hi, \x01You!\xFF\tok\n"));
  const std::u32string foreign = U"Привет ✓ 日本";
  ASSERT_TRUE(injector->typeText(boost::locale::conv::utf_to_utf<char>(foreign)));

  KeySyms expected = keysymsOf(U"Hi, You!");
  expected.push_back(XK_Tab);
  expected.push_back(XK_o);
  expected.push_back(XK_k);
  expected.push_back(XK_Return);
  const KeySyms rest = keysymsOf(foreign);
  expected.insert(expected.end(), rest.begin(), rest.end());
  const Events events = keyEvents(expected.size());
  EXPECT_EQ(typedKeySyms(events), expected);
  // Shift went down around the capitals and "!" only, and came up again.
  const auto shifted = std::count_if(events.begin(), events.end(), [](const auto& e) {
    return e.type == Type::keyPress && (e.state & XCB_MOD_MASK_SHIFT);
  });
  EXPECT_EQ(shifted, 3);
  EXPECT_EQ(countOf(events, Type::keyPress), countOf(events, Type::keyRelease));

  EXPECT_TRUE(eventually([&] { return recorder.keyboardMapping() == layout; }));
}

TEST_F(X11InputInjectorTest, TextBeyondTheSpareKeycodes_IsTypedInRounds) {
  const KeySyms layout = recorder.keyboardMapping();
  const std::size_t spare = spareKeycodes(layout);
  ASSERT_GT(spare, 0u);
  std::u32string text = ideographs(spare + 20);
  text += text.substr(0, 5);  // again at the end, after their keycodes were taken back

  ASSERT_TRUE(injector->typeText(boost::locale::conv::utf_to_utf<char>(text)));
  EXPECT_EQ(typedKeySyms(keyEvents(text.size())), keysymsOf(text));
  EXPECT_TRUE(eventually([&] { return recorder.keyboardMapping() == layout; }));
}

TEST_F(X11InputInjectorTest, TextWaitingForKeysToRest_LetsOtherCallsGoAhead) {
  const std::size_t spare = spareKeycodes(recorder.keyboardMapping());
  ASSERT_GT(spare, 0u);
  // Every round after the first waits for the keys of the one before to rest.
  const std::u32string text = ideographs(6 * spare + 20);
  auto typing = std::async(std::launch::async, [&] {
    return injector->typeText(boost::locale::conv::utf_to_utf<char>(text));
  });
  ASSERT_TRUE(recorder.waitUntil(
      [&](const Events& events) { return typedKeySyms(events).size() >= spare; }));
  EXPECT_TRUE(injector->warpCursor({10, 10}));
  EXPECT_EQ(typing.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the pointer waited for the whole text";
  EXPECT_TRUE(typing.get());
  EXPECT_EQ(typedKeySyms(keyEvents(text.size())), keysymsOf(text));
}

TEST_F(X11InputInjectorTest, Keys_CarryTheirModifierMasksAndReleaseThem) {
  const auto press = [&](const char* name, ModifierFlags modifiers) {
    const auto code = KeyNames::keyCode(name);
    ASSERT_TRUE(code) << name;
    EXPECT_TRUE(injector->postKey(*code, true, modifiers)) << name;
    EXPECT_TRUE(injector->postKey(*code, false, modifiers)) << name;
  };
  press("t", Modifier::control | Modifier::shift);
  press("a", Modifier::option | Modifier::command);
  press("f20", Modifier::function);
  press("volumeup", 0);
  press("page_down", 0);
  const Events events = keyEvents(5);
  Events keys;
  std::copy_if(events.begin(), events.end(), std::back_inserter(keys), [&](const auto& e) {
    return e.type == Type::keyPress && !typedKeySyms({e}).empty();
  });
  ASSERT_EQ(keys.size(), 5u);
  constexpr std::uint16_t kModifierMask = 0xFF;
  EXPECT_EQ(keys[0].keysym, XK_T);
  EXPECT_EQ(keys[0].state & kModifierMask, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);
  EXPECT_EQ(keys[1].keysym, XK_a);
  // Alt and Super sit on Mod1 and Mod4 in the server's default modifier map.
  EXPECT_EQ(keys[1].state & kModifierMask, XCB_MOD_MASK_1 | XCB_MOD_MASK_4);
  EXPECT_EQ(keys[2].keysym, XK_F20);
  EXPECT_EQ(keys[3].keysym, XF86XK_AudioRaiseVolume);
  EXPECT_EQ(keys[4].keysym, XK_Next);
  for (std::size_t i = 2; i < keys.size(); ++i)
    EXPECT_EQ(keys[i].state & kModifierMask, 0) << i;
}

TEST_F(X11InputInjectorTest, ClicksAndScrolls_LandWithTheirButtonsAtTheirPixels) {
  EXPECT_EQ(*run("pointer_click", {{"x", 321}, {"y", 123}, {"button", "right"}, {"clickCount", 2}})
                 .find("clickCount"),
            JSONValue(2));
  run("pointer_click", {{"normalizedX", 0.5}, {"normalizedY", 1}});
  run("scroll", {{"deltaY", 100}, {"deltaX", -100}});
  run("scroll", {{"deltaY", -30}});
  run("scroll", {{"deltaY", -30}, {"deltaX", 60}});

  struct Button {
    Type type;
    int button;
    int x;
    int y;
    bool operator==(const Button&) const = default;
  };
  const std::vector<Button> expected{
      {Type::buttonPress, 3, 321, 123},
      {Type::buttonRelease, 3, 321, 123},
      {Type::buttonPress, 3, 321, 123},
      {Type::buttonRelease, 3, 321, 123},
      // y 800 is past the screen: the server keeps the pointer on its last row.
      {Type::buttonPress, 1, 640, 799},
      {Type::buttonRelease, 1, 640, 799},
      {Type::buttonPress, 4, 640, 799},
      {Type::buttonRelease, 4, 640, 799},
      {Type::buttonPress, 4, 640, 799},
      {Type::buttonRelease, 4, 640, 799},
      {Type::buttonPress, 7, 640, 799},
      {Type::buttonRelease, 7, 640, 799},
      {Type::buttonPress, 7, 640, 799},
      {Type::buttonRelease, 7, 640, 799},
      {Type::buttonPress, 5, 640, 799},
      {Type::buttonRelease, 5, 640, 799},
      {Type::buttonPress, 6, 640, 799},
      {Type::buttonRelease, 6, 640, 799},
  };
  const auto buttons = [](const Events& events) {
    std::vector<Button> found;
    for (const auto& e : events) {
      if (e.type == Type::buttonPress || e.type == Type::buttonRelease)
        found.push_back({e.type, e.detail, e.x, e.y});
    }
    return found;
  };
  EXPECT_TRUE(recorder.waitUntil(
      [&](const Events& events) { return buttons(events).size() >= expected.size(); }));
  EXPECT_EQ(buttons(recorder.events()), expected);
}

TEST_F(X11InputInjectorTest, DragsHoldTheButtonAndMovesStopAtTheLastPixel) {
  run("pointer_drag", {{"fromX", 10}, {"fromY", 10}, {"toX", 130}, {"toY", 250}});
  EXPECT_TRUE(recorder.waitUntil(
      [](const Events& events) { return countOf(events, Type::buttonRelease) == 1; }));
  const Events events = recorder.events();
  const auto press = std::find_if(events.begin(), events.end(),
                                  [](const auto& e) { return e.type == Type::buttonPress; });
  const auto release = std::find_if(events.begin(), events.end(),
                                    [](const auto& e) { return e.type == Type::buttonRelease; });
  ASSERT_NE(press, events.end());
  ASSERT_NE(release, events.end());
  EXPECT_EQ(std::tie(press->detail, press->x, press->y), std::make_tuple(1, 10, 10));
  EXPECT_EQ(std::tie(release->detail, release->x, release->y), std::make_tuple(1, 130, 250));
  ASSERT_GT(release - press, 1);
  for (auto motion = press + 1; motion != release; ++motion) {
    EXPECT_EQ(motion->type, Type::motion);
    EXPECT_TRUE(motion->state & XCB_BUTTON_MASK_1);
  }
  EXPECT_EQ(std::tie((release - 1)->x, (release - 1)->y), std::make_tuple(130, 250));

  const JSONObject moved = run("pointer_move", {{"deltaX", 5000}, {"deltaY", "5000"}});
  EXPECT_EQ(*moved.find("x"), JSONValue(kWidth - 1));
  EXPECT_EQ(*moved.find("y"), JSONValue(kHeight - 1));
  EXPECT_EQ(injector->cursorPosition(), (Point{kWidth - 1, kHeight - 1}));
  run("pointer_move", {{"deltaX", -20000}, {"deltaY", 0}});
  EXPECT_EQ(injector->cursorPosition(), (Point{0, kHeight - 1}));
}

}  // namespace
}  // namespace tavolin
