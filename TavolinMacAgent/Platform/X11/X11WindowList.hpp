#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "TavolinMacAgent/Platform/WindowList.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

namespace tavolin {

// Windows from the window manager's client list. Window numbers are X window ids. Normal
// windows that are mapped and not minimised list at layer 0; dialogs and other auxiliary
// windows at 3, docks at 20, desktop backgrounds not at all. Main actor only.
class X11WindowList final : public WindowList {
 public:
  X11WindowList(std::shared_ptr<X11DisplayConnector> connector,
                std::shared_ptr<DesktopEntryCatalog> catalog);

  std::vector<VisibleWindow> visibleWindows() override;
  std::vector<ApplicationWindow> windows(const RunningApplication& application) override;
  Awaitable<WindowRaiseResult> raise(std::int64_t windowNumber) override;

 private:
  std::shared_ptr<X11DisplayConnector> connector_;
  std::shared_ptr<DesktopEntryCatalog> catalog_;
};

}  // namespace tavolin
