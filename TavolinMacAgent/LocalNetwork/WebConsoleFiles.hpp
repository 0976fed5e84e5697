#pragma once

#include <span>
#include <string_view>

namespace tavolin {

struct EmbeddedFile {
  std::string_view name;
  std::string_view contentType;
  std::string_view bytes;
};

// The browser console's page, style sheet and modules (WebConsole/), compiled in by the build
// (cmake/EmbedText.cmake).
std::span<const EmbeddedFile> webConsoleFiles();

}  // namespace tavolin
