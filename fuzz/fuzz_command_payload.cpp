// Reads every kind of command argument out of arbitrary JSON payloads. Readers answer a value
// or nothing; whatever they answer must satisfy its own rule.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/GamepadMapping.hpp"
#include "TavolinMacAgent/Commands/KeyNames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin;
  static GamepadMapper gamepad;
  try {
    const JSONValue value =
        JSONValue::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const JSONObject* payload = value.object();
    if (payload == nullptr)
      return 0;
    for (const auto& [key, ignored] : *payload) {
      if (const auto real = CommandPayload::real(*payload, key); real && !std::isfinite(*real)) {
        std::abort();
      }
      CommandPayload::integer(*payload, key);
      if (const auto list = CommandPayload::stringList(*payload, key)) {
        KeyNames::modifierFlags(*list);
      }
      if (const std::string* text = CommandPayload::string(*payload, key)) {
        KeyNames::keyCode(*text);
      }
    }
    const GamepadActions actions = gamepad.apply(*payload);
    // Sticks and sensitivity are clamped, so a state never moves the pointer far.
    if (std::llabs(actions.mouseDeltaX) > 45 || std::llabs(actions.mouseDeltaY) > 45)
      std::abort();
  } catch (const JSONDecodingError&) {
  }
  return 0;
}
