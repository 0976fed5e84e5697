#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/GamepadMapping.hpp"

namespace tavolin {
namespace {

using Names = std::vector<std::string>;

JSONObject state(std::int64_t sequence, JSONObject axes = {}, Names pressed = {},
                 std::string source = "pad-1") {
  JSONArray buttons;
  for (auto& name : pressed)
    buttons.emplace_back(name);
  return {{"sourceId", source},
          {"sequence", sequence},
          {"isActive", true},
          {"axes", axes},
          {"pressedButtons", buttons}};
}

TEST(GamepadMapper, Sequences_StaleAreIgnoredUntilTheSourceChanges) {
  GamepadMapper mapper;
  EXPECT_EQ(mapper.apply(state(5, {}, {"a"})).keysDown, Names{"space"});
  const auto stale = mapper.apply(state(4));
  EXPECT_EQ(*stale.result.find("ignored"), JSONValue(true));
  EXPECT_EQ(*stale.result.find("reason"), JSONValue("stale_sequence"));
  EXPECT_TRUE(stale.keysUp.empty());
  EXPECT_EQ(mapper.keysDown(), std::set<std::string>{"space"});

  // An equal sequence is applied again; a new source resets the counter and releases.
  EXPECT_EQ(mapper.apply(state(5)).keysUp, Names{"space"});
  const auto otherSource = mapper.apply(state(4, {}, {"b"}, "pad-2"));
  EXPECT_EQ(otherSource.result.find("ignored"), nullptr);
  EXPECT_EQ(otherSource.keysDown, Names{"escape"});
  const auto legacy = mapper.apply(JSONObject{{"sequence", 1}});
  EXPECT_EQ(legacy.keysUp, Names{"escape"});
  EXPECT_EQ(*legacy.result.find("sourceId"), JSONValue("legacy"));
}

TEST(GamepadMapper, ButtonsPressAndReleaseOnlyTheirDifferences) {
  GamepadMapper mapper;
  const auto both = mapper.apply(state(1, {}, {"a", "guide", "unknownButton"}));
  EXPECT_EQ(both.keysDown, (Names{"escape", "space"}));
  const auto released = mapper.apply(state(2, {}, {"guide"}));
  EXPECT_EQ(released.keysUp, Names{"space"});
  EXPECT_TRUE(released.keysDown.empty());
  // "b" and "guide" share escape: holding both is one key, releasing one keeps it down.
  EXPECT_TRUE(mapper.apply(state(3, {}, {"guide", "b"})).keysDown.empty());
  EXPECT_TRUE(mapper.apply(state(4, {}, {"b"})).keysUp.empty());
}

TEST(GamepadMapper, LeftStickUsesTheHigherOfDeadZoneAndKeyThreshold) {
  GamepadMapper mapper;
  EXPECT_TRUE(mapper.apply(state(1, {{"leftY", 0.2}})).keysDown.empty());
  EXPECT_EQ(mapper.apply(state(2, {{"leftY", 0.3}})).keysDown, Names{"w"});
  EXPECT_EQ(mapper.apply(state(3, {{"leftY", -0.3}, {"leftX", -2.0}})).keysDown, (Names{"a", "s"}));

  JSONObject wide = state(4, {{"leftX", 0.4}});
  wide.set("deadZone", 0.9);  // clamped to 0.45: 0.4 is inside it
  wide.set("profile", "arrows_mouse");
  const auto actions = mapper.apply(wide);
  EXPECT_EQ(actions.keysUp, (Names{"a", "s"}));
  EXPECT_TRUE(actions.keysDown.empty());
  EXPECT_EQ(*actions.result.find("deadZone"), JSONValue(0.45));
  EXPECT_EQ(*actions.result.find("profile"), JSONValue("arrows_mouse"));
  EXPECT_EQ(mapper.apply(state(5, {{"leftX", "0.5"}})).keysDown, Names{"d"});
}

TEST(GamepadMapper, TriggersHoldMouseButtonsAndRightStickMovesThePointer) {
  GamepadMapper mapper;
  auto actions = mapper.apply(state(1, {{"rightTrigger", 0.36}, {"rightX", 1.0}}));
  EXPECT_EQ(actions.mouseButtonsDown, Names{"left"});
  EXPECT_EQ(actions.mouseDeltaX, 18);
  EXPECT_EQ(actions.mouseDeltaY, 0);

  JSONObject fast = state(2, {{"rightX", -1e300}, {"rightY", 1.0}}, {"leftTriggerButton"});
  fast.set("mouseSensitivity", 10);
  actions = mapper.apply(fast);
  EXPECT_EQ(actions.mouseButtonsUp, Names{"left"});
  EXPECT_EQ(actions.mouseButtonsDown, Names{"right"});
  EXPECT_EQ(actions.mouseDeltaX, -45);
  EXPECT_EQ(actions.mouseDeltaY, -45);
  EXPECT_EQ(*actions.result.find("mouseSensitivity"), JSONValue(2.5));
  EXPECT_EQ(*actions.result.find("mouseButtonsDown"), JSONValue(JSONArray{"right"}));
}

TEST(GamepadMapper, InactiveStateReleasesEverything) {
  GamepadMapper mapper;
  mapper.apply(state(1, {{"leftTrigger", 1.0}}, {"x", "menu"}));
  JSONObject inactive = state(2);
  inactive.set("isActive", false);
  const auto actions = mapper.apply(inactive);
  EXPECT_EQ(actions.keysUp, (Names{"e", "return"}));
  EXPECT_EQ(actions.mouseButtonsUp, Names{"right"});
  EXPECT_EQ(*actions.result.find("active"), JSONValue(false));
  EXPECT_EQ(actions.result.find("keysDown"), nullptr);
  EXPECT_TRUE(mapper.keysDown().empty());
  EXPECT_TRUE(mapper.mouseButtonsDown().empty());
}

}  // namespace
}  // namespace tavolin
