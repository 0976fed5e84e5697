#include <fstream>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "TavolinMacAgent/Commands/AppCommands.hpp"
#include "TavolinMacAgent/Platform/Linux/DevToolsBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/X11/X11WindowList.hpp"
#include "TavolinMacAgent/Platform/X11/X11Workspace.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/ScriptedHTTPServer.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::runAwaitable;

// Plain client windows made by the test itself, with the properties applications set.
class ClientWindows {
 public:
  explicit ClientWindows(const std::string& display) : x_(X11Connection::open(display)) {
    if (!x_)
      throw std::runtime_error("cannot open the test display");
  }

  xcb_window_t create(std::string_view instance, std::string_view className, std::string_view title,
                      std::uint32_t pid) {
    xcb_connection_t* c = x_->get();
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x_->root(), 10, 10, 240, 160, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x_->screen()->root_visual, 0, nullptr);
    const std::string wmClass = std::string(instance) + '\0' + std::string(className) + '\0';
    set(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.size(), wmClass.data());
    set(window, x_->atom("_NET_WM_NAME"), x_->atom("UTF8_STRING"), 8, title.size(), title.data());
    set(window, x_->atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c, window);
    xcb_flush(c);
    return window;
  }

  // Asks the window manager to minimise the window, as a taskbar would (ICCCM IconicState).
  void minimize(xcb_window_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = x_->atom("WM_CHANGE_STATE");
    message.data.data32[0] = 3;
    xcb_send_event(x_->get(), 0, x_->root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(x_->get());
  }

  xcb_window_t root() const { return x_->root(); }

  xcb_window_t activeWindow() {
    const auto active = x_->cardinals(x_->root(), x_->atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    return active.empty() ? xcb_window_t{XCB_WINDOW_NONE} : active.front();
  }

 private:
  void set(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::uint8_t format,
           std::size_t length, const void* data) {
    xcb_change_property(x_->get(), XCB_PROP_MODE_REPLACE, window, property, type, format,
                        static_cast<std::uint32_t>(length), data);
  }

  std::shared_ptr<X11Connection> x_;
};

// Windows appear and focus moves asynchronously in X: the tests wait for them `eventually`.
class X11AppsTest : public testing::XvfbSuite {
 protected:
  static void SetUpTestSuite() {
    XvfbSuite::SetUpTestSuite();
    display->startWindowManager();
  }

  void writeEntry(std::string_view id, std::string_view body) {
    fs::create_directories(data.path() / "home" / "applications");
    std::ofstream(data.path() / "home" / "applications" / (std::string(id) + ".desktop"))
        << "[Desktop Entry]\nType=Application\n"
        << body;
  }

  std::vector<RunningApplication> appsWithId(std::string_view id) {
    auto running = workspace->runningApplications();
    std::erase_if(running, [&](const auto& app) { return app.bundleIdentifier != id; });
    return running;
  }

  CompleteCommandPayload run(std::string_view type, const JSONObject& payload) {
    return runAwaitable(executor.execute(type, payload));
  }

  testing::TemporaryDirectory data;
  std::shared_ptr<X11DisplayConnector> connector =
      std::make_shared<X11DisplayConnector>(display->displayName());
  std::shared_ptr<DesktopEntryCatalog> catalog = std::make_shared<DesktopEntryCatalog>(
      Environment{{"XDG_DATA_HOME", (data.path() / "home").string()},
                  {"XDG_DATA_DIRS", (data.path() / "system").string()}});
  std::shared_ptr<X11Workspace> workspace = std::make_shared<X11Workspace>(connector, catalog);
  std::shared_ptr<X11WindowList> windowList = std::make_shared<X11WindowList>(connector, catalog);
  std::shared_ptr<DevToolsBrowserTabs> browserTabs = std::make_shared<DevToolsBrowserTabs>();
  std::shared_ptr<AppCommands> commands =
      std::make_shared<AppCommands>(workspace, windowList, browserTabs, [] { return true; });
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};
  ClientWindows clients{display->displayName()};

  void SetUp() override { commands->registerWith(executor); }

  // What open_app launched is detached from the test; end it by the pid its window names.
  void TearDown() override {
    for (const auto& app : appsWithId("tavolin-probe")) {
      if (app.processIdentifier)
        kill(static_cast<pid_t>(*app.processIdentifier), SIGTERM);
    }
  }
};

TEST_F(X11AppsTest, ClientWindows_AreListedAndFocusedThroughTheWindowManager) {
  writeEntry("tavolin-probe-two", "Name=Probe Two\nExec=true\nStartupWMClass=ProbeTwo\n");
  testing::ChildProcess other({"sleep", "120"});
  const auto self = static_cast<std::uint32_t>(getpid());
  const xcb_window_t first = clients.create("probe-one", "ProbeOne", "First \u2713 window", self);
  const xcb_window_t hidden = clients.create("probe-one", "ProbeOne", "Minimised", self);
  const xcb_window_t second = clients.create("probe-two", "ProbeTwo", "Second window",
                                             static_cast<std::uint32_t>(other.pid()));
  ASSERT_TRUE(eventually([&] { return windowList->visibleWindows().size() == 3; }));
  clients.minimize(hidden);
  ASSERT_TRUE(eventually([&] { return windowList->visibleWindows().size() == 2; }));

  // Applications: one per process, named by the desktop entry that claims the class.
  const auto one = appsWithId("ProbeOne");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].localizedName, "ProbeOne");
  EXPECT_EQ(one[0].processIdentifier, getpid());
  EXPECT_EQ(one[0].activationPolicy, ActivationPolicy::regular);
  const auto two = appsWithId("tavolin-probe-two");
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0].localizedName, "Probe Two");
  EXPECT_EQ(two[0].processIdentifier, other.pid());

  // Windows: X ids in decimal, titles, and focus on the active window only.
  ASSERT_TRUE(eventually([&] { return clients.activeWindow() != XCB_WINDOW_NONE; }));
  int focused = 0;
  for (const VisibleWindow& window : windowList->visibleWindows()) {
    EXPECT_EQ(window.layer, 0);
    EXPECT_EQ(window.isFocused, window.number == clients.activeWindow());
    focused += window.isFocused ? 1 : 0;
    if (window.number == first) {
      EXPECT_EQ(window.title, "First \u2713 window");
      EXPECT_EQ(window.ownerName, "ProbeOne");
    } else {
      EXPECT_EQ(window.number, second);
      EXPECT_EQ(window.title, "Second window");
      EXPECT_EQ(window.ownerProcessIdentifier, other.pid());
    }
  }
  EXPECT_EQ(focused, 1);
  EXPECT_EQ(windowList->windows(one[0]).size(), 2u);  // the minimised one included

  // focus_window by id and by title, then focus_app, each confirmed by the window manager.
  const auto byId = run("focus_window", {{"id", std::to_string(second)}});
  EXPECT_EQ(byId.status, "succeeded") << JSONValue(byId.result).serialize();
  EXPECT_EQ(*byId.result.find("raiseStatus"), JSONValue(0));
  EXPECT_EQ(*byId.result.find("mainStatus"), JSONValue(0));
  EXPECT_EQ(clients.activeWindow(), second);

  const auto byTitle = run("focus_window", {{"title", "First \u2713 window"}});
  EXPECT_EQ(byTitle.status, "succeeded");
  EXPECT_EQ(*byTitle.result.find("id"), JSONValue(std::to_string(first)));
  EXPECT_EQ(clients.activeWindow(), first);

  EXPECT_EQ(run("focus_app", {{"appName", "probe two"}}).status, "succeeded");
  EXPECT_EQ(clients.activeWindow(), second);
  EXPECT_TRUE(appsWithId("tavolin-probe-two").at(0).isActive);

  // A minimised window is restored by focusing it.
  EXPECT_EQ(run("focus_window", {{"id", std::to_string(hidden)}}).status, "succeeded");
  EXPECT_EQ(clients.activeWindow(), hidden);
  EXPECT_EQ(windowList->visibleWindows().size(), 3u);

  EXPECT_EQ(*run("focus_window", {{"id", std::to_string(clients.root())}}).result.find("reason"),
            JSONValue("window_not_found"));
}

TEST_F(X11AppsTest, OpenApp_LaunchesARealProgramOnceThenActivatesIt) {
  writeEntry("tavolin-probe",
             "Name=Tavolin Probe\nExec=xterm -class TavolinProbe -title \"Tavolin Probe\" %U\n");
  writeEntry("tavolin-missing", "Name=Missing\nExec=/nonexistent/tavolin-program\n");

  const auto opened = run("open_app", {{"bundleIdentifier", "tavolin-probe"}});
  ASSERT_EQ(opened.status, "succeeded") << JSONValue(opened.result).serialize();
  EXPECT_EQ(opened.result,
            (JSONObject{{"path", (data.path() / "home" / "applications" / "tavolin-probe.desktop")
                                     .lexically_normal()
                                     .string()},
                        {"opened", true},
                        {"alreadyRunning", false}}));
  // Identified through the desktop file recorded in its environment: neither class nor
  // instance ("xterm", "TavolinProbe") names the entry.
  ASSERT_TRUE(eventually([&] { return appsWithId("tavolin-probe").size() == 1; }));
  const auto pid = appsWithId("tavolin-probe").front().processIdentifier;
  ASSERT_TRUE(pid);

  const auto again = run("open_app", {{"appName", "tavolin probe"}});
  EXPECT_EQ(again.result, (JSONObject{{"bundleIdentifier", "tavolin-probe"},
                                      {"appName", "Tavolin Probe"},
                                      {"alreadyRunning", true},
                                      {"activated", true}}));
  EXPECT_EQ(appsWithId("tavolin-probe").size(), 1u);
  EXPECT_EQ(appsWithId("tavolin-probe").front().processIdentifier, pid);
  EXPECT_TRUE(appsWithId("tavolin-probe").front().isActive);

  EXPECT_EQ(*run("open_app", {{"bundleIdentifier", "tavolin-missing"}}).result.find("reason"),
            JSONValue("app_open_failed"));
  EXPECT_EQ(*run("open_app", {{"bundleIdentifier", "tavolin-none"}}).result.find("reason"),
            JSONValue("app_not_installed"));
}

TEST_F(X11AppsTest, BrowserTabs_OfABrowserWithADebuggingPort_AreListedAndFocused) {
  using testing::ScriptedHTTPServer;
  using testing::ScriptedReply;
  ScriptedHTTPServer devTools;
  const std::string list =
      R"([{"id":"T1","type":"page","title":"Inbox","url":"https://mail.example/"},)"
      R"({"id":"T2","type":"page","title":"","url":"about:blank"}])";
  for (int i = 0; i < 2; ++i)
    devTools.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, list)));
  devTools.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, "Target activated")));

  // A real windowed process whose command line carries the port, as the browser's does.
  testing::ChildProcess browser(
      {"xterm", "-name", "chromium", "-class", "Chromium", "-e", "sh", "-c", "sleep 120",
       "--remote-debugging-port=" + std::to_string(devTools.port())},
      {{"DISPLAY", display->displayName()}});
  ASSERT_TRUE(eventually([&] { return appsWithId("Chromium").size() == 1; }));

  MacSnapshotProvider provider({.workspace = workspace,
                                .windowList = windowList,
                                .browserTabs = browserTabs,
                                .systemInfo = nullptr,
                                .accessibilityTrusted = [] { return true; }});
  std::vector<WindowInfo> tabs = runAwaitable(provider.windows());
  std::erase_if(tabs, [](const WindowInfo& window) { return !window.kind; });
  ASSERT_EQ(tabs.size(), 2u);
  EXPECT_EQ(tabs[0].id, "Chromium-window-1-tab-1");
  EXPECT_EQ(tabs[0].title, "Inbox");
  EXPECT_EQ(tabs[1].title, "Untitled");
  EXPECT_EQ(tabs[1].url, "about:blank");

  const auto focused = run("focus_window", {{"kind", "browserTab"},
                                            {"bundleIdentifier", "Chromium"},
                                            {"browserWindowIndex", 1},
                                            {"browserTabIndex", 2}});
  EXPECT_EQ(focused.status, "succeeded") << JSONValue(focused.result).serialize();
  const auto requests = devTools.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].requestLine(), "GET /json/activate/T2 HTTP/1.1");
}

}  // namespace
}  // namespace tavolin
