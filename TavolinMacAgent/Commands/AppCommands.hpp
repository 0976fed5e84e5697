#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/BrowserTabs.hpp"
#include "TavolinMacAgent/Platform/WindowList.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

// The "open_app", "focus_app" and "focus_window" commands: launch or activate an application,
// raise one of its windows, or bring a browser tab forward. Main actor only. Create with
// make_shared: the registered handlers keep the object alive.
//
// Applications match by identifier first (any of `bundleIdentifiers`, or `bundleIdentifier`),
// then by `appName` ignoring case. A window is looked for by `id` (or `windowId`) among the
// matching applications' windows (all applications when none is named), then by exact
// `title`; with neither, the first window of the first matching application is taken.
// "window_focus_failed" means the window could not be raised or did not become focused;
// `raiseStatus` and `mainStatus` are 0 for success and WindowRaiseResult::failureStatus otherwise.
class AppCommands : public std::enable_shared_from_this<AppCommands> {
 public:
  AppCommands(std::shared_ptr<Workspace> workspace, std::shared_ptr<WindowList> windowList,
              std::shared_ptr<BrowserTabs> browserTabs, std::function<bool()> accessibilityTrusted);

  void registerWith(CommandExecutor& executor);

  Awaitable<CompleteCommandPayload> openApp(const JSONObject& payload);
  Awaitable<CompleteCommandPayload> focusApp(const JSONObject& payload);
  Awaitable<CompleteCommandPayload> focusWindow(const JSONObject& payload);

 private:
  struct AppSelector {
    std::vector<std::string> bundleIdentifiers{};
    std::optional<std::string> appName{};
    bool empty() const { return bundleIdentifiers.empty() && !appName; }
  };
  static AppSelector appSelector(const JSONObject& payload);
  // Running applications other than prohibited ones.
  std::vector<RunningApplication> listed();
  // Listed applications matching by identifier, else by name.
  std::vector<RunningApplication> matching(const AppSelector& selector);
  Awaitable<CompleteCommandPayload> focusBrowserTab(const JSONObject& payload);

  std::shared_ptr<Workspace> workspace_;
  std::shared_ptr<WindowList> windowList_;
  std::shared_ptr<BrowserTabs> browserTabs_;
  std::function<bool()> accessibilityTrusted_;
};

}  // namespace tavolin
