#pragma once

#include <string_view>

namespace tavolin {

// The browser console served at "/" of the local server: WebConsole/WebConsole.html, compiled
// in by the build (cmake/EmbedText.cmake).
std::string_view webConsolePage();

}  // namespace tavolin
