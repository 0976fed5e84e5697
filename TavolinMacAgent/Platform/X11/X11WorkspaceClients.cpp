#include "TavolinMacAgent/Platform/X11/X11WorkspaceClients.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinMacAgent/Platform/Linux/ApplicationLauncher.hpp"
#include "TavolinMacAgent/Platform/Linux/ProcessFiles.hpp"

namespace tavolin {
namespace {

// Window managers answer within a frame or two; the bound covers a loaded machine.
constexpr auto kActivationConfirmation = std::chrono::milliseconds(1500);
constexpr auto kConfirmationPoll = std::chrono::milliseconds(25);

struct WindowClass {
  std::string instance;
  std::string name;
};

std::optional<WindowClass> windowClass(X11Connection& connection, xcb_window_t window) {
  auto property = connection.property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
  if (!property || property->format != 8)
    return std::nullopt;
  const std::string text(property->bytes.begin(), property->bytes.end());
  WindowClass result;
  const auto separator = text.find('\0');
  result.instance = text.substr(0, separator);
  if (separator != std::string::npos)
    result.name = text.substr(separator + 1, text.find('\0', separator + 1) - separator - 1);
  if (!isValidUTF8(result.instance) || !isValidUTF8(result.name))
    return std::nullopt;
  return result;
}

std::optional<std::string> windowTitle(X11Connection& connection, xcb_window_t window) {
  auto title = connection.text(window, connection.atom("_NET_WM_NAME"));
  if (!title || !isValidUTF8(*title))
    title = connection.text(window, XCB_ATOM_WM_NAME);
  if (!title || !isValidUTF8(*title))
    return std::nullopt;
  return title;
}

X11WindowType windowType(X11Connection& connection, xcb_window_t window) {
  const std::pair<const char*, X11WindowType> kTypes[] = {
      {"_NET_WM_WINDOW_TYPE_NORMAL", X11WindowType::normal},
      {"_NET_WM_WINDOW_TYPE_DIALOG", X11WindowType::dialog},
      {"_NET_WM_WINDOW_TYPE_DOCK", X11WindowType::dock},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", X11WindowType::desktop},
      {"_NET_WM_WINDOW_TYPE_UTILITY", X11WindowType::floating},
      {"_NET_WM_WINDOW_TYPE_TOOLBAR", X11WindowType::floating},
      {"_NET_WM_WINDOW_TYPE_MENU", X11WindowType::floating},
      {"_NET_WM_WINDOW_TYPE_SPLASH", X11WindowType::floating},
      {"_NET_WM_WINDOW_TYPE_NOTIFICATION", X11WindowType::floating},
  };
  // The first type the window lists that we know wins, as the window manager reads it.
  for (std::uint32_t atom :
       connection.cardinals(window, connection.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM)) {
    for (const auto& [name, type] : kTypes) {
      if (atom == connection.atom(name))
        return type;
    }
  }
  return X11WindowType::normal;
}

bool isViewable(X11Connection& connection, xcb_window_t window) {
  XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection.get(), xcb_get_window_attributes(connection.get(), window), nullptr));
  return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// The EWMH window manager's check window, present only while it runs (root properties it set
// may outlive it).
bool hasEWMHWindowManager(X11Connection& connection) {
  const xcb_atom_t check = connection.atom("_NET_SUPPORTING_WM_CHECK");
  const auto fromRoot = connection.cardinals(connection.root(), check, XCB_ATOM_WINDOW);
  if (fromRoot.size() != 1)
    return false;
  const auto fromChild = connection.cardinals(fromRoot.front(), check, XCB_ATOM_WINDOW);
  return fromChild.size() == 1 && fromChild.front() == fromRoot.front();
}

bool supports(X11Connection& connection, std::string_view hint) {
  const auto supported =
      connection.cardinals(connection.root(), connection.atom("_NET_SUPPORTED"), XCB_ATOM_ATOM);
  return std::find(supported.begin(), supported.end(), connection.atom(hint)) != supported.end();
}

// Top-level windows front-most first.
std::vector<xcb_window_t> topLevelWindows(X11Connection& connection, bool managed) {
  std::vector<xcb_window_t> windows;
  if (managed) {
    auto stacking = connection.cardinals(
        connection.root(), connection.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    if (stacking.empty()) {
      stacking = connection.cardinals(connection.root(), connection.atom("_NET_CLIENT_LIST"),
                                      XCB_ATOM_WINDOW);
    }
    windows.assign(stacking.rbegin(), stacking.rend());
    return windows;
  }
  XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(
      connection.get(), xcb_query_tree(connection.get(), connection.root()), nullptr));
  if (!tree)
    return windows;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());
  for (int i = count - 1; i >= 0; --i) {
    XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection.get(), xcb_get_window_attributes(connection.get(), children[i]), nullptr));
    if (attributes && !attributes->override_redirect &&
        attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
      windows.push_back(children[i]);
    }
  }
  return windows;
}

xcb_window_t activeWindow(X11Connection& connection, bool managed) {
  if (managed) {
    const auto active = connection.cardinals(
        connection.root(), connection.atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    return active.empty() ? xcb_window_t{XCB_WINDOW_NONE} : active.front();
  }
  XcbReply<xcb_get_input_focus_reply_t> focus(
      xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
  return focus ? focus->focus : xcb_window_t{XCB_WINDOW_NONE};
}

// The desktop file the process was launched from, unless it only inherited the variable from
// the process that was.
std::optional<std::filesystem::path> launchedDesktopFile(std::int64_t pid) {
  auto file = processEnvironmentValue(pid, launchedDesktopFileVariable);
  if (!file || file->empty())
    return std::nullopt;
  if (const auto launchedPid = processEnvironmentValue(pid, launchedDesktopFilePidVariable);
      launchedPid && *launchedPid != std::to_string(pid)) {
    return std::nullopt;
  }
  return std::filesystem::path(*file);
}

}  // namespace

const X11Client* X11ClientSnapshot::client(xcb_window_t window) const {
  const auto found = std::find_if(clients.begin(), clients.end(),
                                  [&](const X11Client& client) { return client.window == window; });
  return found == clients.end() ? nullptr : &*found;
}

const X11ClientApplication* X11ClientSnapshot::application(
    const RunningApplication& running) const {
  for (const X11ClientApplication& candidate : applications) {
    const RunningApplication& application = candidate.application;
    const bool same = running.processIdentifier
                          ? application.processIdentifier == running.processIdentifier
                          : !application.processIdentifier &&
                                application.bundleIdentifier == running.bundleIdentifier;
    if (same)
      return &candidate;
  }
  return nullptr;
}

std::optional<int> x11WindowLayer(X11WindowType type) {
  switch (type) {
    case X11WindowType::normal:
      return 0;
    case X11WindowType::dialog:
    case X11WindowType::floating:
      return 3;
    case X11WindowType::dock:
      return 20;
    case X11WindowType::desktop:
      return std::nullopt;
  }
  return std::nullopt;
}

std::vector<X11ClientApplication> groupX11Clients(const std::vector<X11Client>& clients,
                                                  xcb_window_t activeWindow) {
  std::vector<X11ClientApplication> applications;
  // Per application, the strongest role among its windows: 2 regular, 1 accessory.
  std::vector<int> roles;
  std::map<std::pair<std::int64_t, std::string>, std::size_t> indexByKey;
  for (const X11Client& client : clients) {
    const auto key =
        client.pid ? std::pair(*client.pid, std::string())
                   : std::pair(std::int64_t{-1},
                               client.bundleIdentifier.value_or(std::to_string(client.window)));
    auto [found, inserted] = indexByKey.emplace(key, applications.size());
    if (inserted) {
      applications.push_back({.application = {.bundleIdentifier = client.bundleIdentifier,
                                              .localizedName = client.applicationName,
                                              .processIdentifier = client.pid}});
      roles.push_back(0);
    }
    X11ClientApplication& application = applications[found->second];
    application.windows.push_back(client.window);
    application.application.isActive =
        application.application.isActive || client.window == activeWindow;
    const bool ordinary =
        client.type == X11WindowType::normal || client.type == X11WindowType::dialog;
    const bool furniture =
        client.type == X11WindowType::dock || client.type == X11WindowType::desktop;
    const int role = ordinary && !client.skipTaskbar ? 2 : (furniture ? 0 : 1);
    roles[found->second] = std::max(roles[found->second], role);
  }
  for (std::size_t i = 0; i < applications.size(); ++i) {
    applications[i].application.activationPolicy =
        roles[i] == 2
            ? ActivationPolicy::regular
            : (roles[i] == 1 ? ActivationPolicy::accessory : ActivationPolicy::prohibited);
  }
  return applications;
}

X11ClientSnapshot readX11Clients(X11Connection& connection, DesktopEntryCatalog& catalog) {
  X11ClientSnapshot snapshot;
  if (connection.hasError())
    return snapshot;
  const bool managed = hasEWMHWindowManager(connection);
  const xcb_atom_t pidAtom = connection.atom("_NET_WM_PID");
  const xcb_atom_t stateAtom = connection.atom("_NET_WM_STATE");
  const xcb_atom_t hiddenAtom = connection.atom("_NET_WM_STATE_HIDDEN");
  const xcb_atom_t skipTaskbarAtom = connection.atom("_NET_WM_STATE_SKIP_TASKBAR");
  std::unordered_map<std::int64_t, std::optional<std::filesystem::path>> launchedByPid;
  for (xcb_window_t window : topLevelWindows(connection, managed)) {
    const auto wmClass = windowClass(connection, window);
    if (!managed && !wmClass)
      continue;
    X11Client client;
    client.window = window;
    if (const auto pid = connection.cardinals(window, pidAtom, XCB_ATOM_CARDINAL);
        pid.size() == 1 && pid.front() > 0) {
      client.pid = pid.front();
    }
    client.title = windowTitle(connection, window);
    client.type = windowType(connection, window);
    const auto states = connection.cardinals(window, stateAtom, XCB_ATOM_ATOM);
    const auto hasState = [&](xcb_atom_t state) {
      return std::find(states.begin(), states.end(), state) != states.end();
    };
    client.skipTaskbar = hasState(skipTaskbarAtom);
    client.onScreen = isViewable(connection, window) && !hasState(hiddenAtom);

    ApplicationClue clue;
    if (wmClass) {
      clue.wmClassInstance = wmClass->instance;
      clue.wmClassName = wmClass->name;
    }
    if (client.pid) {
      auto [cached, inserted] = launchedByPid.try_emplace(*client.pid);
      if (inserted)
        cached->second = launchedDesktopFile(*client.pid);
      clue.launchedDesktopFile = cached->second;
    }
    const std::string& fallback =
        clue.wmClassName.empty() ? clue.wmClassInstance : clue.wmClassName;
    if (const auto entry = catalog.entryFor(clue)) {
      client.bundleIdentifier = entry->id;
      client.applicationName = entry->name.empty() ? fallback : entry->name;
    } else if (!fallback.empty()) {
      client.bundleIdentifier = fallback;
      client.applicationName = fallback;
    }
    snapshot.clients.push_back(std::move(client));
  }
  snapshot.activeWindow = activeWindow(connection, managed);
  snapshot.applications = groupX11Clients(snapshot.clients, snapshot.activeWindow);
  return snapshot;
}

Awaitable<WindowRaiseResult> activateX11Window(std::shared_ptr<X11Connection> connection,
                                               xcb_window_t window) {
  WindowRaiseResult result;
  if (!connection || connection->hasError())
    co_return result;
  XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection->get(), xcb_get_window_attributes(connection->get(), window), nullptr));
  if (!attributes)
    co_return result;
  xcb_connection_t* c = connection->get();
  const bool managed = hasEWMHWindowManager(*connection);
  xcb_void_cookie_t request;
  if (managed && supports(*connection, "_NET_ACTIVE_WINDOW")) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = connection->atom("_NET_ACTIVE_WINDOW");
    // Source 2 (a pager acting for the user) is obeyed even by managers that prevent focus
    // stealing by applications.
    message.data.data32[0] = 2;
    message.data.data32[1] = XCB_CURRENT_TIME;
    message.data.data32[2] = activeWindow(*connection, true);
    request = xcb_send_event_checked(
        c, 0, connection->root(),
        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
        reinterpret_cast<const char*>(&message));
  } else {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_map_window(c, window);
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    request = xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
  }
  if (XcbReply<xcb_generic_error_t> error(xcb_request_check(c, request)); error)
    co_return result;
  result.raiseStatus = WindowRaiseResult::successStatus;

  const auto deadline = std::chrono::steady_clock::now() + kActivationConfirmation;
  while (true) {
    if (activeWindow(*connection, managed) == window) {
      result.mainStatus = WindowRaiseResult::successStatus;
      break;
    }
    if (connection->hasError() || std::chrono::steady_clock::now() >= deadline)
      break;
    co_await sleepFor(kConfirmationPoll);
  }
  co_return result;
}

}  // namespace tavolin
