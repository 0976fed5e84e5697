#include "TavolinMacAgent/Commands/GamepadMapping.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "TavolinMacAgent/Commands/CommandPayload.hpp"

namespace tavolin {
namespace {

constexpr std::array<GamepadProfileInfo, 2> kProfiles{{
    {GamepadProfile::wasdMouse, "wasd_mouse", "WASD + Mouse", "WASD"},
    {GamepadProfile::arrowsMouse, "arrows_mouse", "Arrows + Mouse", "Arrows"},
}};

constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kButtonKeys{{
    {"a", "space"},
    {"b", "escape"},
    {"x", "e"},
    {"y", "q"},
    {"dpadUp", "up"},
    {"dpadDown", "down"},
    {"dpadLeft", "left"},
    {"dpadRight", "right"},
    {"leftShoulder", "shift"},
    {"rightShoulder", "r"},
    {"leftThumbstick", "control"},
    {"rightThumbstick", "f"},
    {"menu", "return"},
    {"view", "tab"},
    {"guide", "escape"},
}};

constexpr double kDefaultDeadZone = 0.15;
constexpr double kDefaultSensitivity = 1.0;
// The left stick presses its keys only past this, however small the dead zone.
constexpr double kStickKeyThreshold = 0.28;
constexpr double kTriggerPressThreshold = 0.35;
// Pointer points per state at full deflection and sensitivity 1.
constexpr double kPointsPerState = 18;

double axis(const JSONObject* axes, std::string_view name) {
  if (axes == nullptr)
    return 0;
  return CommandPayload::real(*axes, name).value_or(0);
}

double stick(double value, double deadZone) {
  const double clamped = std::clamp(value, -1.0, 1.0);
  return std::fabs(clamped) < deadZone ? 0 : clamped;
}

JSONArray listOf(const std::set<std::string>& names) {
  JSONArray list;
  for (const auto& name : names)
    list.emplace_back(name);
  return list;
}

}  // namespace

const GamepadProfileInfo& gamepadProfileInfo(GamepadProfile profile) {
  return profile == GamepadProfile::arrowsMouse ? kProfiles[1] : kProfiles[0];
}

GamepadProfile gamepadProfileNamed(std::string_view name) {
  for (const auto& info : kProfiles) {
    if (info.name == name)
      return info.profile;
  }
  return GamepadProfile::wasdMouse;
}

GamepadActions GamepadMapper::releaseAll() {
  GamepadActions actions;
  moveTo({}, {}, actions);
  return actions;
}

void GamepadMapper::moveTo(const std::set<std::string>& keys, const std::set<std::string>& buttons,
                           GamepadActions& actions) {
  std::set_difference(keysDown_.begin(), keysDown_.end(), keys.begin(), keys.end(),
                      std::back_inserter(actions.keysUp));
  std::set_difference(keys.begin(), keys.end(), keysDown_.begin(), keysDown_.end(),
                      std::back_inserter(actions.keysDown));
  std::set_difference(mouseButtonsDown_.begin(), mouseButtonsDown_.end(), buttons.begin(),
                      buttons.end(), std::back_inserter(actions.mouseButtonsUp));
  std::set_difference(buttons.begin(), buttons.end(), mouseButtonsDown_.begin(),
                      mouseButtonsDown_.end(), std::back_inserter(actions.mouseButtonsDown));
  keysDown_ = keys;
  mouseButtonsDown_ = buttons;
}

GamepadActions GamepadMapper::apply(const JSONObject& state) {
  GamepadActions actions;
  const std::string* givenSource = CommandPayload::string(state, "sourceId");
  const std::string sourceId = givenSource != nullptr ? *givenSource : "legacy";
  if (lastSourceId_ != sourceId) {
    moveTo({}, {}, actions);
    lastSourceId_ = sourceId;
    lastSequence_ = -1;
  }
  const std::int64_t sequence = CommandPayload::integer(state, "sequence").value_or(0);
  const JSONValue* isActive = state.find("isActive");
  const bool active = isActive == nullptr || isActive->boolean() == nullptr || *isActive->boolean();
  actions.result = {{"backend", kGamepadBackend},
                    {"sourceId", sourceId},
                    {"sequence", sequence},
                    {"active", active}};
  if (sequence < lastSequence_) {
    actions.result.set("ignored", true);
    actions.result.set("reason", "stale_sequence");
    return actions;
  }
  lastSequence_ = sequence;
  if (!active) {
    moveTo({}, {}, actions);
    return actions;
  }

  const double deadZone =
      std::clamp(CommandPayload::real(state, "deadZone").value_or(kDefaultDeadZone), 0.03, 0.45);
  const double sensitivity = std::clamp(
      CommandPayload::real(state, "mouseSensitivity").value_or(kDefaultSensitivity), 0.35, 2.5);
  const std::string* profileName = CommandPayload::string(state, "profile");
  const GamepadProfileInfo& profile =
      gamepadProfileInfo(gamepadProfileNamed(profileName ? *profileName : ""));

  const JSONValue* axesValue = state.find("axes");
  const JSONObject* axes = axesValue != nullptr ? axesValue->object() : nullptr;
  const double leftX = stick(axis(axes, "leftX"), deadZone);
  const double leftY = stick(axis(axes, "leftY"), deadZone);
  const double rightX = stick(axis(axes, "rightX"), deadZone);
  const double rightY = stick(axis(axes, "rightY"), deadZone);
  const double leftTrigger = std::clamp(axis(axes, "leftTrigger"), 0.0, 1.0);
  const double rightTrigger = std::clamp(axis(axes, "rightTrigger"), 0.0, 1.0);

  const std::vector<std::string> pressed =
      CommandPayload::stringList(state, "pressedButtons").value_or(std::vector<std::string>{});
  const auto isPressed = [&](std::string_view button) {
    return std::find(pressed.begin(), pressed.end(), button) != pressed.end();
  };
  std::set<std::string> keys;
  for (const auto& [button, key] : kButtonKeys) {
    if (isPressed(button))
      keys.emplace(key);
  }
  const double threshold = std::max(deadZone, kStickKeyThreshold);
  const bool arrows = profile.profile == GamepadProfile::arrowsMouse;
  if (leftY > threshold)
    keys.emplace(arrows ? "up" : "w");
  if (leftY < -threshold)
    keys.emplace(arrows ? "down" : "s");
  if (leftX < -threshold)
    keys.emplace(arrows ? "left" : "a");
  if (leftX > threshold)
    keys.emplace(arrows ? "right" : "d");

  std::set<std::string> buttons;
  if (rightTrigger > kTriggerPressThreshold || isPressed("rightTriggerButton")) {
    buttons.emplace("left");
  }
  if (leftTrigger > kTriggerPressThreshold || isPressed("leftTriggerButton")) {
    buttons.emplace("right");
  }
  moveTo(keys, buttons, actions);

  // Sticks are clamped to [-1, 1] and sensitivity to 2.5, so the products stay small.
  actions.mouseDeltaX = static_cast<std::int64_t>(sensitivity * kPointsPerState * rightX);
  actions.mouseDeltaY = static_cast<std::int64_t>(-(rightY * sensitivity * kPointsPerState));

  actions.result.set("profile", profile.name);
  actions.result.set("mouseSensitivity", sensitivity);
  actions.result.set("deadZone", deadZone);
  actions.result.set("keysDown", listOf(keysDown_));
  actions.result.set("mouseButtonsDown", listOf(mouseButtonsDown_));
  return actions;
}

}  // namespace tavolin
