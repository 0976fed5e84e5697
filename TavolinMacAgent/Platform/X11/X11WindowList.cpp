#include "TavolinMacAgent/Platform/X11/X11WindowList.hpp"

#include "TavolinMacAgent/Platform/X11/X11WorkspaceClients.hpp"

namespace tavolin {

X11WindowList::X11WindowList(std::shared_ptr<X11DisplayConnector> connector,
                             std::shared_ptr<DesktopEntryCatalog> catalog)
    : connector_(std::move(connector)), catalog_(std::move(catalog)) {}

std::vector<VisibleWindow> X11WindowList::visibleWindows() {
  std::vector<VisibleWindow> windows;
  const auto connection = connector_->connection();
  if (!connection)
    return windows;
  const X11ClientSnapshot snapshot = readX11Clients(*connection, *catalog_);
  for (const X11Client& client : snapshot.clients) {
    const auto layer = x11WindowLayer(client.type);
    if (!client.onScreen || !layer)
      continue;
    windows.push_back({.number = client.window,
                       .ownerName = client.applicationName.value_or(""),
                       .ownerProcessIdentifier = client.pid,
                       .title = client.title,
                       .layer = *layer,
                       .isFocused = client.window == snapshot.activeWindow});
  }
  return windows;
}

std::vector<ApplicationWindow> X11WindowList::windows(const RunningApplication& application) {
  std::vector<ApplicationWindow> windows;
  const auto connection = connector_->connection();
  if (!connection)
    return windows;
  const X11ClientSnapshot snapshot = readX11Clients(*connection, *catalog_);
  const X11ClientApplication* found = snapshot.application(application);
  if (found == nullptr)
    return windows;
  for (xcb_window_t window : found->windows) {
    const X11Client* client = snapshot.client(window);
    if (client != nullptr && x11WindowLayer(client->type))
      windows.push_back({.number = window, .title = client->title});
  }
  return windows;
}

Awaitable<WindowRaiseResult> X11WindowList::raise(std::int64_t windowNumber) {
  // Only top-level clients may be raised: a number that is not one (a frame, the root, a
  // window of no application) is as good as not found.
  const auto connection = connector_->connection();
  if (!connection || windowNumber <= 0 || windowNumber > 0xFFFFFFFF)
    co_return WindowRaiseResult{};
  const auto window = static_cast<xcb_window_t>(windowNumber);
  if (readX11Clients(*connection, *catalog_).client(window) == nullptr)
    co_return WindowRaiseResult{};
  co_return co_await activateX11Window(connection, window);
}

}  // namespace tavolin
