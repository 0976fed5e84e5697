#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/GamepadCommands.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeInputInjector.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using Event = FakeInputInjector::Event;
using Events = std::vector<Event>;

constexpr std::uint16_t kSpace = 49;
constexpr std::uint16_t kEscape = 53;
constexpr std::uint16_t kW = 13;

class GamepadCommandsTest : public ::testing::Test {
 protected:
  GamepadCommandsTest() { GamepadCommands(injector, geometry, "linux").registerWith(executor); }

  CompleteCommandPayload run(std::string_view type, const JSONObject& payload) {
    return testing::runAwaitable(executor.execute(type, payload));
  }

  static JSONObject state(std::int64_t sequence, JSONObject axes, std::vector<std::string> pressed,
                          bool active = true) {
    JSONArray buttons;
    for (auto& name : pressed)
      buttons.emplace_back(name);
    return {{"sourceId", "pad"},
            {"sequence", sequence},
            {"isActive", active},
            {"axes", std::move(axes)},
            {"pressedButtons", std::move(buttons)}};
  }

  testing::ManualClock clock;
  std::shared_ptr<FakeInputInjector> injector = std::make_shared<FakeInputInjector>();
  std::shared_ptr<FakeDisplayGeometry> geometry =
      std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 200, 100});
  CommandExecutor executor{nullptr, clock};
};

TEST_F(GamepadCommandsTest, Capabilities_DescribeTheKeyboardMouseBackendOfThisPlatform) {
  const CompleteCommandPayload answer = run("gamepad_capabilities", {});
  EXPECT_EQ(answer.status, "succeeded");
  EXPECT_EQ(*answer.result.find("platform"), JSONValue("linux"));
  EXPECT_EQ(*answer.result.find("backend"), JSONValue("keyboard_mouse"));
  EXPECT_EQ(*answer.result.find("backends"), JSONValue(JSONArray{"keyboard_mouse"}));
  EXPECT_EQ(*answer.result.find("profiles"), JSONValue(JSONArray{"wasd_mouse", "arrows_mouse"}));
  EXPECT_EQ(*answer.result.find("supportsVirtualController"), JSONValue(false));
  EXPECT_EQ(*answer.result.find("requiresDriverInstall"), JSONValue(false));
  EXPECT_EQ(*answer.result.find("supportsTouchOverlay"), JSONValue(true));
  EXPECT_EQ(*answer.result.find("supportsPhysicalControllerPassthrough"), JSONValue(true));
  EXPECT_NE(answer.result.find("notes")->string()->find("uinput"), std::string::npos);
  // Asking needs no permission and posts nothing.
  injector->trusted = false;
  EXPECT_EQ(run("gamepad_capabilities", {}).status, "succeeded");
  EXPECT_TRUE(injector->events().empty());
}

TEST_F(GamepadCommandsTest, StateDifferences_ReachTheInjectorAsKeysButtonsAndMoves) {
  injector->cursor = Point{190, 50};
  CompleteCommandPayload answer =
      run("gamepad_state",
          state(1, {{"rightTrigger", 1}, {"rightX", 1}, {"leftY", 0.3}}, {"a", "guide"}));
  EXPECT_EQ(answer.status, "succeeded");
  EXPECT_EQ(*answer.result.find("keysDown"), JSONValue(JSONArray{"escape", "space", "w"}));
  EXPECT_EQ(*answer.result.find("mouseButtonsDown"), JSONValue(JSONArray{"left"}));
  // 18 points right, stopped at the display's last pixel.
  EXPECT_EQ(
      injector->takeEvents(),
      (Events{FakeInputInjector::key(kEscape, true),
              FakeInputInjector::key(kSpace, true),
              FakeInputInjector::key(kW, true),
              FakeInputInjector::mouse(MouseEventKind::down, MouseButton::left, {190, 50}),
              {.type = FakeInputInjector::Type::warp, .point = {199, 50}},
              FakeInputInjector::mouse(MouseEventKind::moved, MouseButton::left, {199, 50})}));

  // Releasing "a" and the trigger: one key up, one button up, nothing pressed again.
  run("gamepad_state", state(2, {{"leftY", 0.3}}, {"guide"}));
  EXPECT_EQ(injector->takeEvents(),
            (Events{FakeInputInjector::key(kSpace, false),
                    FakeInputInjector::mouse(MouseEventKind::up, MouseButton::left, {199, 50})}));

  answer = run("gamepad_state", state(1, {}, {}));
  EXPECT_EQ(*answer.result.find("reason"), JSONValue("stale_sequence"));
  EXPECT_TRUE(injector->takeEvents().empty());

  answer = run("gamepad_state", state(3, {}, {"b"}, false));
  EXPECT_EQ(*answer.result.find("active"), JSONValue(false));
  EXPECT_EQ(injector->takeEvents(),
            (Events{FakeInputInjector::key(kEscape, false), FakeInputInjector::key(kW, false)}));
}

TEST_F(GamepadCommandsTest, WithoutAccessibility_StateIsRefusedAndNotRemembered) {
  injector->trusted = false;
  EXPECT_EQ(*run("gamepad_state", state(5, {}, {"a"})).result.find("reason"),
            JSONValue("accessibility_not_granted"));
  EXPECT_TRUE(injector->events().empty());
  // Sequence 5 was never taken: 4 still applies.
  injector->trusted = true;
  run("gamepad_state", state(4, {}, {"a"}));
  EXPECT_EQ(injector->takeEvents(), Events{FakeInputInjector::key(kSpace, true)});
}

TEST_F(GamepadCommandsTest, UnreadableCursor_SkipsButtonsAndMovesButPressesKeys) {
  injector->cursor.reset();
  const CompleteCommandPayload answer =
      run("gamepad_state", state(1, {{"leftTrigger", 1}, {"rightY", -1}}, {"x"}));
  EXPECT_EQ(answer.status, "succeeded");
  EXPECT_EQ(*answer.result.find("mouseButtonsDown"), JSONValue(JSONArray{"right"}));
  EXPECT_EQ(injector->takeEvents(), Events{FakeInputInjector::key(14, true)});
}

}  // namespace
}  // namespace tavolin
