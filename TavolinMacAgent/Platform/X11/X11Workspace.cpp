#include "TavolinMacAgent/Platform/X11/X11Workspace.hpp"

#include <algorithm>

#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinMacAgent/Platform/Linux/ApplicationLauncher.hpp"
#include "TavolinMacAgent/Platform/X11/X11WorkspaceClients.hpp"

namespace tavolin {
namespace {

// Most applications map a window within this; slower ones are reported opened without waiting
// further.
constexpr auto kLaunchWindowWait = std::chrono::seconds(5);
constexpr auto kLaunchPoll = std::chrono::milliseconds(50);

std::optional<InstalledApplication> installed(const std::optional<DesktopEntry>& entry) {
  if (!entry)
    return std::nullopt;
  return InstalledApplication{
      .bundleIdentifier = entry->id, .name = entry->name, .path = entry->path.string()};
}

}  // namespace

X11Workspace::X11Workspace(std::shared_ptr<X11DisplayConnector> connector,
                           std::shared_ptr<DesktopEntryCatalog> catalog)
    : connector_(std::move(connector)), catalog_(std::move(catalog)) {}

std::vector<RunningApplication> X11Workspace::runningApplications() {
  std::vector<RunningApplication> applications;
  const auto connection = connector_->connection();
  if (!connection)
    return applications;
  for (auto& group : readX11Clients(*connection, *catalog_).applications)
    applications.push_back(std::move(group.application));
  return applications;
}

Awaitable<bool> X11Workspace::activate(const RunningApplication& application) {
  const auto connection = connector_->connection();
  if (!connection)
    co_return false;
  const X11ClientSnapshot snapshot = readX11Clients(*connection, *catalog_);
  const X11ClientApplication* found = snapshot.application(application);
  if (found == nullptr)
    co_return false;
  // Its front-most window on screen, else its front-most one (restored from minimised).
  xcb_window_t target = found->windows.front();
  for (xcb_window_t window : found->windows) {
    const X11Client* client = snapshot.client(window);
    if (client != nullptr && client->onScreen && x11WindowLayer(client->type) == 0) {
      target = window;
      break;
    }
  }
  const WindowRaiseResult result = co_await activateX11Window(connection, target);
  co_return result.succeeded();
}

std::optional<InstalledApplication> X11Workspace::installedApplication(
    std::string_view bundleIdentifier) {
  return installed(catalog_->entry(bundleIdentifier));
}

std::optional<InstalledApplication> X11Workspace::installedApplicationNamed(std::string_view name) {
  return installed(catalog_->entryNamed(name));
}

Awaitable<bool> X11Workspace::open(const InstalledApplication& application) {
  const auto entry = catalog_->entryAt(application.path);
  if (!entry || !launchDesktopEntry(*entry, connector_->displayName()))
    co_return false;
  // Wait for its window so that an open or focus right after this one finds it running.
  const auto deadline = std::chrono::steady_clock::now() + kLaunchWindowWait;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto running = runningApplications();
    if (std::any_of(running.begin(), running.end(), [&](const RunningApplication& candidate) {
          return candidate.bundleIdentifier == entry->id;
        })) {
      break;
    }
    co_await sleepFor(kLaunchPoll);
  }
  co_return true;
}

}  // namespace tavolin
