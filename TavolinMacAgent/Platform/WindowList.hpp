#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

// A window on screen. Layer 0 holds ordinary application windows; other layers hold panels,
// dialogs kept above others, docks and the like.
struct VisibleWindow {
  std::int64_t number = 0;
  std::string ownerName{};
  std::optional<std::int64_t> ownerProcessIdentifier{};
  std::optional<std::string> title{};
  int layer = 0;
  bool isFocused = false;

  bool operator==(const VisibleWindow&) const = default;
};

// A window of one application, whether on screen or minimised.
struct ApplicationWindow {
  std::int64_t number = 0;
  std::optional<std::string> title{};

  bool operator==(const ApplicationWindow&) const = default;
};

// Outcome of raising a window, one status per step: 0 for success, `failureStatus` otherwise.
// The failure code is the macOS accessibility interface's generic failure, so controllers read
// the same number from every platform.
struct WindowRaiseResult {
  static constexpr int successStatus = 0;
  static constexpr int failureStatus = -25200;

  // Whether the window could be brought forward (it exists and the request was delivered).
  int raiseStatus = failureStatus;
  // Whether it then became the focused window.
  int mainStatus = failureStatus;

  bool succeeded() const { return raiseStatus == successStatus && mainStatus == successStatus; }
};

// The desktop's windows. Called on the main actor only. Listing never fails: an unreachable
// display lists nothing.
class WindowList {
 public:
  virtual ~WindowList() = default;

  // Windows on screen, front-most first.
  virtual std::vector<VisibleWindow> visibleWindows() = 0;

  // The application's windows, front-most first.
  virtual std::vector<ApplicationWindow> windows(const RunningApplication& application) = 0;

  // Raises, focuses and (when minimised) restores the window; waits a bounded time for the
  // window manager to confirm.
  virtual Awaitable<WindowRaiseResult> raise(std::int64_t windowNumber) = 0;
};

}  // namespace tavolin
