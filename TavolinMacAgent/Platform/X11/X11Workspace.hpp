#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

namespace tavolin {

// Running applications from the window manager's client list, identified by desktop entry;
// installed ones from the desktop entries, launched on the connector's display. Main actor only.
class X11Workspace final : public Workspace {
 public:
  X11Workspace(std::shared_ptr<X11DisplayConnector> connector,
               std::shared_ptr<DesktopEntryCatalog> catalog);

  std::vector<RunningApplication> runningApplications() override;
  Awaitable<bool> activate(const RunningApplication& application) override;
  std::optional<InstalledApplication> installedApplication(
      std::string_view bundleIdentifier) override;
  std::optional<InstalledApplication> installedApplicationNamed(std::string_view name) override;
  Awaitable<bool> open(const InstalledApplication& application) override;

 private:
  std::shared_ptr<X11DisplayConnector> connector_;
  std::shared_ptr<DesktopEntryCatalog> catalog_;
};

}  // namespace tavolin
