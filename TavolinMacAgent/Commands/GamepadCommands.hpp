#pragma once

#include <memory>
#include <string>

#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/InputInjector.hpp"

namespace tavolin {

// "gamepad_capabilities" and "gamepad_state": a controller's game pad played as keyboard and
// mouse. The GamepadMapper decides what to press and release; this posts it: keys by their
// key codes, mouse buttons at the cursor, and the right stick through movePointerBy. Keys and
// buttons stay held between states, as the mapper holds them. `platform` is what the
// capabilities report ("linux"). Main actor only; the handlers own their state, so this object
// need not outlive them.
class GamepadCommands {
 public:
  GamepadCommands(std::shared_ptr<InputInjector> injector,
                  std::shared_ptr<DisplayGeometry> geometry, std::string platform);

  void registerWith(CommandExecutor& executor) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tavolin
