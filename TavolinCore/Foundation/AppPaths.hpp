#pragma once

#include <filesystem>

#include "TavolinCore/Foundation/Environment.hpp"

namespace tavolin {

// Where the agent keeps its files, following the XDG base directories:
// data   $XDG_DATA_HOME/tavolin        (default ~/.local/share/tavolin)
// logs   $XDG_STATE_HOME/tavolin/logs  (default ~/.local/state/tavolin/logs)
// config $XDG_CONFIG_HOME/tavolin      (default ~/.config/tavolin), holds the user defaults.
// Relative XDG values are ignored, as the XDG rules require.
struct AppPaths {
  std::filesystem::path homeDirectory;
  std::filesystem::path dataDirectory;
  std::filesystem::path logsDirectory;
  std::filesystem::path configDirectory;

  static AppPaths fromEnvironment(const Environment& environment);

  std::filesystem::path userDefaultsFile() const { return configDirectory / "defaults.json"; }
};

}  // namespace tavolin
