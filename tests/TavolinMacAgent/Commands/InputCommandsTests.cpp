#include <limits>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeInputInjector.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using Event = FakeInputInjector::Event;
using Events = std::vector<Event>;
namespace Modifier = Modifier;

class InputCommandsTest : public ::testing::Test {
 protected:
  InputCommandsTest() { InputCommands(injector, geometry).registerWith(executor); }

  CompleteCommandPayload run(std::string_view type, const JSONObject& payload) {
    return testing::runAwaitable(executor.execute(type, payload));
  }

  // The reason of a failure, or the result of a success.
  JSONValue outcome(std::string_view type, const JSONObject& payload) {
    const CompleteCommandPayload answer = run(type, payload);
    if (answer.status == "failed")
      return *answer.result.find("reason");
    EXPECT_EQ(answer.status, "succeeded");
    return answer.result;
  }

  // The events so far; the cursor goes back where each test starts.
  Events takeEvents() {
    injector->cursor = cursor;
    return injector->takeEvents();
  }

  static Event mouse(MouseEventKind kind, Point point, MouseButton button = MouseButton::left,
                     ModifierFlags modifiers = 0, int clickState = 1) {
    return FakeInputInjector::mouse(kind, button, point, modifiers, clickState);
  }

  testing::ManualClock clock;
  Point cursor{100, 100};
  std::shared_ptr<FakeInputInjector> injector = std::make_shared<FakeInputInjector>();
  std::shared_ptr<FakeDisplayGeometry> geometry =
      std::make_shared<FakeDisplayGeometry>(Rect{100, 50, 1000, 500});
  CommandExecutor executor{nullptr, clock};
};

TEST_F(InputCommandsTest, WithoutAccessibility_EveryCommandIsRefusedAndNothingPosted) {
  injector->trusted = false;
  const JSONObject everything{{"text", "hi"}, {"key", "a"}, {"x", 1},     {"y", 2},   {"deltaX", 5},
                              {"deltaY", 5},  {"fromX", 1}, {"fromY", 1}, {"toX", 2}, {"toY", 2}};
  for (const char* type :
       {"keyboard_text", "keyboard_shortcut", "pointer_click", "pointer_button_down",
        "pointer_button_up", "pointer_drag", "pointer_drag_move", "pointer_move", "scroll"}) {
    EXPECT_EQ(outcome(type, everything), JSONValue("accessibility_not_granted")) << type;
  }
  // Checked before the payload: an empty one is refused the same way.
  EXPECT_EQ(outcome("keyboard_text", {}), JSONValue("accessibility_not_granted"));
  EXPECT_TRUE(injector->events().empty());
}

TEST_F(InputCommandsTest, KeyboardText_TypesTheTextAndCountsWhatAPersonSees) {
  const std::string text = "e\xCC\x81 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\nok";  // é, 👍🏽
  EXPECT_EQ(outcome("keyboard_text", {{"text", text}}), JSONValue(JSONObject{{"characters", 6}}));
  const Events typed = takeEvents();
  ASSERT_EQ(typed.size(), 1u);
  EXPECT_EQ(typed[0].text, text);

  for (const JSONObject& payload : {JSONObject{}, JSONObject{{"text", ""}}, JSONObject{{"text", 7}},
                                    JSONObject{{"text", JSONArray{JSONValue("a")}}}}) {
    EXPECT_EQ(outcome("keyboard_text", payload), JSONValue("missing_text"));
  }
  injector->failPost(1);
  EXPECT_EQ(outcome("keyboard_text", {{"text", "x"}}), JSONValue("keyboard_event_create_failed"));
}

TEST_F(InputCommandsTest, KeyboardShortcut_ResolvesKeyNamesAndClampsRepeats) {
  const JSONObject answer =
      *outcome("keyboard_shortcut",
               {{"key", " Page_Up\n"}, {"modifiers", JSONArray{"ctrl", 5, "Shift", "hyper"}}})
           .object();
  EXPECT_EQ(answer, (JSONObject{{"key", " Page_Up\n"},
                                {"modifiers", JSONArray{"ctrl", "Shift", "hyper"}},
                                {"repeatCount", 1}}));
  const auto flags = Modifier::control | Modifier::shift;
  EXPECT_EQ(takeEvents(), (Events{FakeInputInjector::key(116, true, flags),
                                  FakeInputInjector::key(116, false, flags)}));

  outcome("keyboard_shortcut", {{"key", "-"}, {"modifiers", "command"}});
  EXPECT_EQ(takeEvents(),
            (Events{FakeInputInjector::key(27, true), FakeInputInjector::key(27, false)}));

  for (const JSONObject& payload :
       {JSONObject{}, JSONObject{{"key", "\xC3\xB6"}}, JSONObject{{"key", 0}}}) {
    EXPECT_EQ(outcome("keyboard_shortcut", payload), JSONValue("unknown_key"));
  }

  const auto repeats = [&](JSONValue repeatCount) {
    const JSONValue result =
        outcome("keyboard_shortcut", {{"key", "a"}, {"repeatCount", std::move(repeatCount)}});
    const std::size_t posted = takeEvents().size();
    EXPECT_EQ(*result.object()->find("repeatCount"), JSONValue(posted / 2));
    return posted / 2;
  };
  EXPECT_EQ(repeats(0), 1u);
  EXPECT_EQ(repeats(-5), 1u);
  EXPECT_EQ(repeats(500), 50u);
  EXPECT_EQ(repeats("3"), 3u);
  EXPECT_EQ(repeats(2.9), 2u);
  EXPECT_EQ(repeats("3x"), 1u);
  EXPECT_EQ(repeats(1e300), 1u);  // beyond 64 bits: absent

  // A failure mid-sequence ends the command; what was posted stays posted.
  injector->failPost(4);
  EXPECT_EQ(outcome("keyboard_shortcut", {{"key", "a"}, {"repeatCount", 3}}),
            JSONValue("keyboard_event_create_failed"));
  EXPECT_EQ(injector->events().size(), 3u);
}

TEST_F(InputCommandsTest, PointResolution_FallsBackFromGivenToNormalizedToCursor) {
  const auto clickAt = [&](const JSONObject& payload) {
    const JSONValue result = outcome("pointer_button_down", payload);
    if (!result.object())
      return result;
    takeEvents();
    return JSONValue(JSONArray{*result.object()->find("x"), *result.object()->find("y")});
  };
  EXPECT_EQ(clickAt({{"x", 10}, {"y", "20.5"}}), JSONValue(JSONArray{10, 20.5}));
  // A lone x is no point: the normalized one follows, over the main display only.
  EXPECT_EQ(clickAt({{"x", 10}, {"normalizedX", 0.5}, {"normalizedY", 0.25}}),
            JSONValue(JSONArray{600, 175}));
  EXPECT_EQ(clickAt({{"normalizedX", -0.2}, {"normalizedY", 1.7}}), JSONValue(JSONArray{100, 550}));
  EXPECT_EQ(clickAt({{"x", 10}, {"normalizedX", 0.5}}), JSONValue(JSONArray{100, 100}));
  EXPECT_EQ(clickAt({{"x", "ten"}, {"y", 3}}), JSONValue(JSONArray{100, 100}));

  geometry->bounds.reset();
  EXPECT_EQ(clickAt({{"normalizedX", 0.5}, {"normalizedY", 0.5}}), JSONValue(JSONArray{100, 100}));
  injector->cursor.reset();
  EXPECT_EQ(clickAt({{"x", 1}}), JSONValue("missing_point"));
  EXPECT_EQ(outcome("pointer_click", {}), JSONValue("missing_point"));
  EXPECT_TRUE(injector->events().empty());
}

TEST_F(InputCommandsTest, Click_PostsADownUpPairPerClickWithItsClickState) {
  const JSONValue result = outcome("pointer_click", {{"x", 5},
                                                     {"y", 6},
                                                     {"button", "Secondary"},
                                                     {"clickCount", 2},
                                                     {"modifiers", JSONArray{"alt"}}});
  EXPECT_EQ(result,
            JSONValue(JSONObject{{"x", 5}, {"y", 6}, {"button", "right"}, {"clickCount", 2}}));
  const Point at{5, 6};
  EXPECT_EQ(takeEvents(),
            (Events{mouse(MouseEventKind::down, at, MouseButton::right, Modifier::option, 1),
                    mouse(MouseEventKind::up, at, MouseButton::right, Modifier::option, 1),
                    mouse(MouseEventKind::down, at, MouseButton::right, Modifier::option, 2),
                    mouse(MouseEventKind::up, at, MouseButton::right, Modifier::option, 2)}));

  const auto clicks = [&](JSONValue clickCount, const char* button) {
    const JSONValue answer =
        outcome("pointer_click", {{"clickCount", std::move(clickCount)}, {"button", button}});
    const Events events = takeEvents();
    EXPECT_EQ(*answer.object()->find("clickCount"), JSONValue(events.size() / 2));
    return std::make_pair(events.size() / 2, *answer.object()->find("button"));
  };
  EXPECT_EQ(clicks(0, "OTHER"), std::make_pair(std::size_t{1}, JSONValue("center")));
  EXPECT_EQ(clicks(9, "middle"), std::make_pair(std::size_t{3}, JSONValue("center")));
  EXPECT_EQ(clicks("2", "button4"), std::make_pair(std::size_t{2}, JSONValue("left")));

  injector->failPost(2);
  EXPECT_EQ(outcome("pointer_click", {}), JSONValue("pointer_event_create_failed"));
}

TEST_F(InputCommandsTest, ButtonDownAndUp_PostOneEventWithoutModifiers) {
  EXPECT_EQ(*outcome("pointer_button_down", {{"button", "center"}}).object()->find("phase"),
            JSONValue("down"));
  takeEvents();
  EXPECT_EQ(outcome("pointer_button_up", {{"modifiers", JSONArray{"shift"}}, {"button", "center"}}),
            JSONValue(JSONObject{{"x", 100}, {"y", 100}, {"button", "center"}, {"phase", "up"}}));
  EXPECT_EQ(takeEvents(), Events{mouse(MouseEventKind::up, cursor, MouseButton::center)});
  injector->failPost(1);
  EXPECT_EQ(outcome("pointer_button_down", {}), JSONValue("pointer_event_create_failed"));
}

TEST_F(InputCommandsTest, PointerMove_StopsAtTheLastPixelOfTheMainDisplay) {
  injector->cursor = Point{1000, 500};
  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 500}, {"deltaY", "1e6"}}),
            JSONValue(JSONObject{{"x", 1099}, {"y", 549}, {"deltaX", 500}, {"deltaY", 1e6}}));
  EXPECT_EQ(takeEvents(), (Events{{.type = FakeInputInjector::Type::warp, .point = {1099, 549}},
                                  mouse(MouseEventKind::moved, {1099, 549})}));
  const JSONValue back = outcome("pointer_move", {{"deltaX", -5000}, {"deltaY", 0.5}});
  EXPECT_EQ(*back.object()->find("x"), JSONValue(100));
  EXPECT_EQ(*back.object()->find("y"), JSONValue(100.5));
  takeEvents();

  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 5}}), JSONValue("missing_pointer_delta"));
  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 5}, {"deltaY", true}}),
            JSONValue("missing_pointer_delta"));
  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 0}, {"deltaY", "-0"}}),
            JSONValue("empty_pointer_delta"));
  injector->cursor.reset();
  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 1}, {"deltaY", 0}}),
            JSONValue("pointer_location_unavailable"));
  EXPECT_TRUE(injector->events().empty());
  injector->cursor = cursor;
  injector->failPost(2);
  EXPECT_EQ(outcome("pointer_move", {{"deltaX", 1}, {"deltaY", 0}}),
            JSONValue("pointer_event_create_failed"));
}

TEST_F(InputCommandsTest, Drag_PostsTwelveStepsBetweenDownAndUp) {
  EXPECT_EQ(outcome("pointer_drag", {{"fromX", 0},
                                     {"fromY", 0},
                                     {"toNormalizedX", 0.12},
                                     {"toNormalizedY", 0.48},
                                     {"button", "right"}}),
            JSONValue(JSONObject{
                {"fromX", 0}, {"fromY", 0}, {"toX", 220}, {"toY", 290}, {"button", "right"}}));
  Events expected{mouse(MouseEventKind::down, {0, 0}, MouseButton::right)};
  for (int i = 1; i <= 12; ++i) {
    expected.push_back(
        mouse(MouseEventKind::dragged, {220.0 * i / 12, 290.0 * i / 12}, MouseButton::right));
  }
  expected.push_back(mouse(MouseEventKind::up, {220, 290}, MouseButton::right));
  EXPECT_EQ(takeEvents(), expected);

  // Without both ends the drag is relative to the cursor, and not clamped to the display.
  const JSONValue relative =
      outcome("pointer_drag", {{"fromX", 0}, {"fromY", 0}, {"deltaX", 5000}, {"deltaY", -200}});
  EXPECT_EQ(relative,
            JSONValue(JSONObject{
                {"fromX", 100}, {"fromY", 100}, {"toX", 5100}, {"toY", -100}, {"button", "left"}}));
  EXPECT_EQ(takeEvents().back(), mouse(MouseEventKind::up, {5100, -100}));

  EXPECT_EQ(outcome("pointer_drag", {{"fromX", 0}, {"fromY", 0}, {"toX", 1}}),
            JSONValue("missing_drag_points"));
  injector->cursor.reset();
  EXPECT_EQ(outcome("pointer_drag", {{"deltaX", 1}, {"deltaY", 1}}),
            JSONValue("missing_drag_points"));
  injector->cursor = cursor;
  injector->failPost(5);
  EXPECT_EQ(outcome("pointer_drag", {{"deltaX", 1}, {"deltaY", 1}}),
            JSONValue("pointer_event_create_failed"));
  EXPECT_EQ(injector->events().size(), 4u);
}

TEST_F(InputCommandsTest, DragMove_TargetsGivenNormalizedOrClampedRelativePoints) {
  const auto target = [&](const JSONObject& payload) {
    const JSONValue result = outcome("pointer_drag_move", payload);
    if (!result.object())
      return result;
    EXPECT_EQ(takeEvents().size(), 1u);
    return JSONValue(JSONArray{*result.object()->find("x"), *result.object()->find("y")});
  };
  EXPECT_EQ(target({{"x", -7}, {"y", 9000}, {"deltaX", 1}, {"deltaY", 1}}),
            JSONValue(JSONArray{-7, 9000}));
  EXPECT_EQ(target({{"normalizedX", 1}, {"normalizedY", 0}}), JSONValue(JSONArray{1100, 50}));
  EXPECT_EQ(target({{"x", 3}, {"deltaX", 5000}, {"deltaY", -5000}}),
            JSONValue(JSONArray{1099, 50}));
  EXPECT_EQ(target({{"deltaX", 5}}), JSONValue("missing_drag_move_target"));
  geometry->bounds.reset();
  EXPECT_EQ(target({{"deltaX", 5}, {"deltaY", 5}}), JSONValue("missing_drag_move_target"));

  outcome("pointer_drag_move", {{"x", 1}, {"y", 2}, {"button", "right"}});
  EXPECT_EQ(takeEvents(), Events{mouse(MouseEventKind::dragged, {1, 2}, MouseButton::right)});
  injector->failPost(1);
  EXPECT_EQ(target({{"x", 1}, {"y", 2}}), JSONValue("pointer_event_create_failed"));
}

TEST_F(InputCommandsTest, Scroll_TakesIntegerDeltasClampedTo32Bits) {
  EXPECT_EQ(outcome("scroll", {{"deltaY", 3}}),
            JSONValue(JSONObject{{"deltaX", 0}, {"deltaY", 3}}));
  EXPECT_EQ(outcome("scroll", {{"deltaX", "-99999999999"}, {"deltaY", 1e12}}),
            JSONValue(JSONObject{{"deltaX", std::numeric_limits<std::int32_t>::min()},
                                 {"deltaY", std::numeric_limits<std::int32_t>::max()}}));
  EXPECT_EQ(takeEvents(), (Events{{.type = FakeInputInjector::Type::scroll, .deltaY = 3},
                                  {.type = FakeInputInjector::Type::scroll,
                                   .deltaX = std::numeric_limits<std::int32_t>::min(),
                                   .deltaY = std::numeric_limits<std::int32_t>::max()}}));
  for (const JSONObject& payload : {JSONObject{}, JSONObject{{"deltaX", 0}, {"deltaY", "0"}},
                                    JSONObject{{"deltaY", "3.5"}}, JSONObject{{"deltaY", 1e300}}}) {
    EXPECT_EQ(outcome("scroll", payload), JSONValue("missing_scroll_delta"));
  }
  EXPECT_TRUE(injector->events().empty());
  injector->failPost(1);
  EXPECT_EQ(outcome("scroll", {{"deltaX", 2}}), JSONValue("scroll_event_create_failed"));
}

}  // namespace
}  // namespace tavolin
