#include "TavolinCore/Foundation/AppPaths.hpp"

#include <pwd.h>
#include <unistd.h>

namespace tavolin {
namespace {

std::filesystem::path homeFrom(const Environment& environment) {
  if (const auto home = environmentValue(environment, "HOME"); home && !home->empty()) {
    return *home;
  }
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

std::filesystem::path xdgBase(const Environment& environment, std::string_view name,
                              const std::filesystem::path& fallback) {
  if (const auto value = environmentValue(environment, name)) {
    const std::filesystem::path path(*value);
    if (path.is_absolute())
      return path;
  }
  return fallback;
}

}  // namespace

AppPaths AppPaths::fromEnvironment(const Environment& environment) {
  const auto home = homeFrom(environment);
  return AppPaths{
      .homeDirectory = home,
      .dataDirectory = xdgBase(environment, "XDG_DATA_HOME", home / ".local/share") / "tavolin",
      .logsDirectory =
          xdgBase(environment, "XDG_STATE_HOME", home / ".local/state") / "tavolin/logs",
      .configDirectory = xdgBase(environment, "XDG_CONFIG_HOME", home / ".config") / "tavolin",
  };
}

}  // namespace tavolin
