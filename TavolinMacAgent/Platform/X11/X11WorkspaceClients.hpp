#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "TavolinMacAgent/Platform/WindowList.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

// The desktop's top-level clients as one read of the window system, grouped into applications.
// Shared by X11Workspace and X11WindowList so both see the same applications.

namespace tavolin {

// Kinds of windows by _NET_WM_WINDOW_TYPE. Only `normal` windows are ordinary application
// windows (layer 0); `floating` covers utilities, toolbars, menus, splashes and notifications.
enum class X11WindowType { normal, dialog, floating, dock, desktop };

struct X11Client {
  xcb_window_t window = XCB_WINDOW_NONE;
  std::optional<std::int64_t> pid{};
  std::optional<std::string> title{};
  X11WindowType type = X11WindowType::normal;
  bool skipTaskbar = false;
  // Mapped and not minimised.
  bool onScreen = false;
  // The owning application as identified from its desktop entry or WM_CLASS.
  std::optional<std::string> bundleIdentifier{};
  std::optional<std::string> applicationName{};
};

struct X11ClientApplication {
  RunningApplication application;
  // Its windows, front-most first.
  std::vector<xcb_window_t> windows{};
};

struct X11ClientSnapshot {
  // Front-most first.
  std::vector<X11Client> clients{};
  xcb_window_t activeWindow = XCB_WINDOW_NONE;
  // In the order of their front-most windows.
  std::vector<X11ClientApplication> applications{};

  const X11Client* client(xcb_window_t window) const;
  // The application with the same process (or, for clients without one, the same identifier).
  const X11ClientApplication* application(const RunningApplication& running) const;
};

// The layer a client's window lists with; nothing for desktop backgrounds, which are never
// listed.
std::optional<int> x11WindowLayer(X11WindowType type);

// Groups clients (front-most first) into applications: one per process, or per identifier for
// clients that do not name their process. An application is active when it owns
// `activeWindow`.
std::vector<X11ClientApplication> groupX11Clients(const std::vector<X11Client>& clients,
                                                  xcb_window_t activeWindow);

// Reads the client list of the EWMH window manager, or without one the mapped top-level windows
// that carry WM_CLASS. Empty when the display cannot be read.
X11ClientSnapshot readX11Clients(X11Connection& connection, DesktopEntryCatalog& catalog);

// Activates `window` through the window manager (_NET_ACTIVE_WINDOW as a pager would), or
// without one by mapping, raising and focusing it; then watches, for a bounded time, that it
// became the active window.
Awaitable<WindowRaiseResult> activateX11Window(std::shared_ptr<X11Connection> connection,
                                               xcb_window_t window);

}  // namespace tavolin
