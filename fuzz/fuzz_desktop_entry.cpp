// Parses arbitrary bytes as a desktop entry and its Exec line. Whatever comes out must be text
// the agent can send on: valid UTF-8, and a command whose program is named.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto entry = parseDesktopEntry(text)) {
    for (const std::string* value : {&entry->name, &entry->exec, &entry->startupWMClass}) {
      if (!isValidUTF8(*value))
        std::abort();
    }
    if (const auto arguments = desktopExecArguments(entry->exec)) {
      if (arguments->empty() || arguments->front().empty())
        std::abort();
    }
  }
  if (const auto arguments = desktopExecArguments(text)) {
    if (arguments->empty() || arguments->front().empty())
      std::abort();
  }
  return 0;
}
