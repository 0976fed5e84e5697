#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// How an application takes part in the desktop: `regular` ones have ordinary windows,
// `accessory` ones only auxiliary windows (utility panels, menus, windows kept off the
// taskbar), `prohibited` ones only desktop furniture (panels, the desktop itself).
enum class ActivationPolicy { regular, accessory, prohibited };

struct RunningApplication {
  // A stable identifier of the application (on Linux its desktop-file id without ".desktop").
  std::optional<std::string> bundleIdentifier{};
  std::optional<std::string> localizedName{};
  std::optional<std::int64_t> processIdentifier{};
  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  bool isActive = false;

  bool operator==(const RunningApplication&) const = default;
};

// The name to show: the localized name, else the identifier, else "Unknown App".
inline std::string applicationDisplayName(const RunningApplication& application) {
  if (application.localizedName && !application.localizedName->empty())
    return *application.localizedName;
  if (application.bundleIdentifier && !application.bundleIdentifier->empty())
    return *application.bundleIdentifier;
  return "Unknown App";
}

// An application that can be launched.
struct InstalledApplication {
  std::string bundleIdentifier{};
  std::string name{};
  // What the launcher opens (on Linux the desktop entry file).
  std::string path{};

  bool operator==(const InstalledApplication&) const = default;
};

// The running applications of the desktop session and the launcher of installed ones. Called
// on the main actor only. Queries never fail: what cannot be read is left out, and an
// unreachable display lists nothing.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // In the window system's order, front-most first.
  virtual std::vector<RunningApplication> runningApplications() = 0;

  // Brings the application's front window forward and gives it the focus; true once the
  // application is confirmed active. Waits a bounded time for the window manager.
  virtual Awaitable<bool> activate(const RunningApplication& application) = 0;

  virtual std::optional<InstalledApplication> installedApplication(
      std::string_view bundleIdentifier) = 0;
  // Ignores case; applications hidden from menus are not found by name.
  virtual std::optional<InstalledApplication> installedApplicationNamed(std::string_view name) = 0;

  // Launches a new, detached instance; false when it could not be started. Returns once the
  // application shows a window, or after a bounded wait for slow starters.
  virtual Awaitable<bool> open(const InstalledApplication& application) = 0;
};

}  // namespace tavolin
