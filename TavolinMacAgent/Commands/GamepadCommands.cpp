#include "TavolinMacAgent/Commands/GamepadCommands.hpp"

#include "TavolinMacAgent/Commands/CommandResults.hpp"
#include "TavolinMacAgent/Commands/GamepadMapping.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"
#include "TavolinMacAgent/Commands/KeyNames.hpp"

namespace tavolin {

struct GamepadCommands::State {
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<DisplayGeometry> geometry;
  std::string platform;
  GamepadMapper mapper;
};

namespace {

constexpr std::string_view kNotes =
    "Linux uses a low-latency keyboard/mouse compatibility backend with WASD/mouse and "
    "arrows/mouse profiles. A true virtual gamepad needs a separate uinput device path.";

CompleteCommandPayload capabilities(const GamepadCommands::State& state) {
  JSONArray profiles;
  for (const GamepadProfile profile : {GamepadProfile::wasdMouse, GamepadProfile::arrowsMouse})
    profiles.emplace_back(gamepadProfileInfo(profile).name);
  return CommandResults::succeeded({{"platform", state.platform},
                                    {"backend", kGamepadBackend},
                                    {"backends", JSONArray{JSONValue(kGamepadBackend)}},
                                    {"profiles", std::move(profiles)},
                                    {"supportsTouchOverlay", true},
                                    {"supportsPhysicalControllerPassthrough", true},
                                    {"supportsVirtualController", false},
                                    {"requiresDriverInstall", false},
                                    {"notes", kNotes}});
}

// The state is applied whatever the injector makes of single events: the mapper already holds
// the new state, and the controller sends the whole state again next time.
CompleteCommandPayload applyState(GamepadCommands::State& state, const JSONObject& payload) {
  if (auto refusal = accessibilityRefusal(*state.injector))
    return std::move(*refusal);
  GamepadActions actions = state.mapper.apply(payload);
  InputInjector& injector = *state.injector;
  const auto keys = [&](const std::vector<std::string>& names, bool down) {
    for (const auto& name : names) {
      if (const auto code = KeyNames::keyCode(name))
        injector.postKey(*code, down, 0);
    }
  };
  const auto buttons = [&](const std::vector<std::string>& names, MouseEventKind kind) {
    if (names.empty())
      return;
    const auto cursor = injector.cursorPosition();
    if (!cursor)
      return;
    for (const auto& name : names)
      injector.postMouse(kind, KeyNames::mouseButton(name), *cursor, 0, 1);
  };
  keys(actions.keysUp, false);
  keys(actions.keysDown, true);
  buttons(actions.mouseButtonsUp, MouseEventKind::up);
  buttons(actions.mouseButtonsDown, MouseEventKind::down);
  if (actions.mouseDeltaX != 0 || actions.mouseDeltaY != 0) {
    movePointerBy(injector, *state.geometry, static_cast<double>(actions.mouseDeltaX),
                  static_cast<double>(actions.mouseDeltaY));
  }
  return CommandResults::succeeded(std::move(actions.result));
}

Awaitable<CompleteCommandPayload> capabilitiesCommand(
    std::shared_ptr<GamepadCommands::State> state) {
  co_return capabilities(*state);
}

Awaitable<CompleteCommandPayload> stateCommand(std::shared_ptr<GamepadCommands::State> state,
                                               const JSONObject& payload) {
  co_return applyState(*state, payload);
}

}  // namespace

GamepadCommands::GamepadCommands(std::shared_ptr<InputInjector> injector,
                                 std::shared_ptr<DisplayGeometry> geometry, std::string platform)
    : state_(std::make_shared<State>(
          State{std::move(injector), std::move(geometry), std::move(platform), {}})) {}

void GamepadCommands::registerWith(CommandExecutor& executor) const {
  executor.registerHandler("gamepad_capabilities", [state = state_](const JSONObject&) {
    return capabilitiesCommand(state);
  });
  executor.registerHandler("gamepad_state", [state = state_](const JSONObject& payload) {
    return stateCommand(state, payload);
  });
}

}  // namespace tavolin
