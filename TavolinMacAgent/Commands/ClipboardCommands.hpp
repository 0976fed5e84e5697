#pragma once

#include <memory>

#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/Pasteboard.hpp"

namespace tavolin {

// "clipboard_set": replaces the clipboard with `text` (a string, possibly empty) and answers
// `characters`, its count of user-perceived characters. The handler runs on the main actor
// and holds the pasteboard itself, so this object need not outlive it.
class ClipboardCommands {
 public:
  explicit ClipboardCommands(std::shared_ptr<Pasteboard> pasteboard);

  void registerWith(CommandExecutor& executor) const;

 private:
  std::shared_ptr<Pasteboard> pasteboard_;
};

}  // namespace tavolin
