#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

// The controller's game pad played as keyboard and mouse ("keyboard_mouse" backend).
inline constexpr std::string_view kGamepadBackend = "keyboard_mouse";

enum class GamepadProfile { wasdMouse, arrowsMouse };

struct GamepadProfileInfo {
  GamepadProfile profile;
  std::string_view name;
  std::string_view displayName;
  std::string_view shortName;
};

const GamepadProfileInfo& gamepadProfileInfo(GamepadProfile profile);
// Absent or unknown names mean "wasd_mouse".
GamepadProfile gamepadProfileNamed(std::string_view name);

// What one "gamepad_state" asks of the input layer, in order: release, then press, then move.
struct GamepadActions {
  std::vector<std::string> keysUp;
  std::vector<std::string> keysDown;
  std::vector<std::string> mouseButtonsUp;
  std::vector<std::string> mouseButtonsDown;
  std::int64_t mouseDeltaX = 0;
  std::int64_t mouseDeltaY = 0;
  // The success result of the command.
  JSONObject result;
};

// Turns the complete pad states a controller keeps sending into the differences to apply:
// which keys and mouse buttons to press or release and how far to move the pointer. Holds what
// is down between states. Plain logic, no input is posted here. Main actor only.
class GamepadMapper {
 public:
  GamepadActions apply(const JSONObject& state);

  // Everything held goes up; used when the source changes or the pad goes inactive.
  GamepadActions releaseAll();

  const std::set<std::string>& keysDown() const { return keysDown_; }
  const std::set<std::string>& mouseButtonsDown() const { return mouseButtonsDown_; }

 private:
  void moveTo(const std::set<std::string>& keys, const std::set<std::string>& buttons,
              GamepadActions& actions);

  std::set<std::string> keysDown_;
  std::set<std::string> mouseButtonsDown_;
  std::int64_t lastSequence_ = -1;
  std::optional<std::string> lastSourceId_;
};

}  // namespace tavolin
