#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/InputInjector.hpp"

namespace tavolin {

// Every input handler starts here: without the accessibility permission it answers
// "accessibility_not_granted" and posts nothing.
std::optional<CompleteCommandPayload> accessibilityRefusal(InputInjector& injector);

// Where a pointer move ended, or the reason code it failed with.
struct PointerMoveOutcome {
  std::optional<Point> position;
  std::string_view failureReason;
};

// The pointer move of "pointer_move", the gamepad and the low-latency input path: the cursor
// goes to its position plus the delta, clamped to the main display's last pixel (the cursor
// never leaves the main display this way), then a moved event is posted there. Fails with
// "pointer_location_unavailable" when the cursor or the main display cannot be read and with
// "pointer_event_create_failed" when the move cannot be posted. Thread-safe as the injector
// and the geometry are.
PointerMoveOutcome movePointerBy(InputInjector& injector, DisplayGeometry& geometry, double deltaX,
                                 double deltaY);

// "pointer_move" and "scroll" as plain calls, for the low-latency input path that runs them off
// the main actor. Thread-safe as the injector and the geometry are.
CompleteCommandPayload pointerMoveCommand(InputInjector& injector, DisplayGeometry& geometry,
                                          const JSONObject& payload);
CompleteCommandPayload scrollCommand(InputInjector& injector, const JSONObject& payload);

// The keyboard, pointer and scroll commands: "keyboard_text", "keyboard_shortcut",
// "pointer_click", "pointer_button_down", "pointer_button_up", "pointer_drag",
// "pointer_drag_move", "pointer_move" and "scroll". The handlers run on the main actor, with
// the executor they are registered with; they hold the injector and the geometry themselves,
// so this object need not outlive them. Nothing slow blocks the main thread: a drag awaits a
// timer between its steps, and the two keyboard commands post their keys on a queue of their
// own (label ending ".input-commands"), since typing may wait for borrowed keys to rest.
class InputCommands {
 public:
  InputCommands(std::shared_ptr<InputInjector> injector, std::shared_ptr<DisplayGeometry> geometry);

  void registerWith(CommandExecutor& executor) const;

  struct Context;

 private:
  std::shared_ptr<const Context> context_;
};

}  // namespace tavolin
