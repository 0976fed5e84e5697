#include "TavolinMacAgent/Commands/ClipboardCommands.hpp"

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {
namespace {

Awaitable<CompleteCommandPayload> setClipboard(std::shared_ptr<Pasteboard> pasteboard,
                                               const JSONObject& payload) {
  const std::string* text = CommandPayload::string(payload, "text");
  if (text == nullptr)
    co_return CommandResults::failed("missing_text");
  if (!pasteboard->setString(*text))
    co_return CommandResults::failed("clipboard_set_failed");
  co_return CommandResults::succeeded(
      {{"characters", static_cast<double>(graphemeClusterCount(*text))}});
}

}  // namespace

ClipboardCommands::ClipboardCommands(std::shared_ptr<Pasteboard> pasteboard)
    : pasteboard_(std::move(pasteboard)) {}

void ClipboardCommands::registerWith(CommandExecutor& executor) const {
  executor.registerHandler("clipboard_set", [pasteboard = pasteboard_](const JSONObject& payload) {
    return setClipboard(pasteboard, payload);
  });
}

}  // namespace tavolin
