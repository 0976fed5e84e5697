#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Fake/FakeBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSystemInfo.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWindowList.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWorkspace.hpp"
#include "TavolinMacAgent/Snapshot/AppCategory.hpp"
#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using testing::runAwaitable;

TEST(AppCategory, Rules_FirstMatchWinsWithItsRank) {
  const auto category = [](std::optional<std::string> id, std::string_view name) {
    return AppCategory::category(id, name);
  };
  EXPECT_EQ(category("com.google.Chrome", "Google Chrome"), "Browsers");
  EXPECT_EQ(category("CHROMIUM", "Chromium"), "Browsers");
  EXPECT_EQ(category("org.mozilla.Firefox", "Web"), "Browsers");
  EXPECT_EQ(category(std::nullopt, "Firefox Mail"), "Browsers");  // before Communication
  EXPECT_EQ(category("com.apple.dt.Instruments", "Instruments"), "Developer");
  EXPECT_EQ(category("code", "Visual Studio Code"), "Developer");
  EXPECT_EQ(category("com.openai.codex", "Codex Terminal"), "Developer");  // before System
  EXPECT_EQ(category("org.gnome.Evolution", "Mail"), "Communication");
  EXPECT_EQ(category("com.apple.Terminal", "Terminal"), "System");
  EXPECT_EQ(category("xterm", "XTerm"), "System");
  EXPECT_EQ(category("org.gnome.Nautilus", "Files"), "System");
  EXPECT_EQ(category("org.gimp.GIMP", "GNU Image Manipulation Program"), "Apps");
  EXPECT_EQ(category(std::nullopt, ""), "Apps");
  EXPECT_FALSE(AppCategory::isScriptableBrowser("firefox"));
  EXPECT_TRUE(AppCategory::isScriptableBrowser("com.apple.safari"));

  EXPECT_EQ(AppCategory::rank("Browsers"), 0);
  EXPECT_EQ(AppCategory::rank("Developer"), 1);
  EXPECT_EQ(AppCategory::rank("Communication"), 2);
  EXPECT_EQ(AppCategory::rank("System"), 3);
  EXPECT_EQ(AppCategory::rank("Apps"), 4);
  EXPECT_EQ(AppCategory::rank(std::nullopt), 5);
  EXPECT_EQ(AppCategory::rank("browsers"), 5);
}

class MacSnapshotProviderTest : public ::testing::Test {
 protected:
  MacSnapshotProvider provider() {
    return MacSnapshotProvider({.workspace = workspace,
                                .windowList = windowList,
                                .browserTabs = browserTabs,
                                .systemInfo = systemInfo,
                                .screenCaptureAllowed = [this] { return screenCapture; },
                                .accessibilityTrusted = [this] { return accessibility; },
                                .phoneHostModeEnabled = [this] { return phoneHost; },
                                .nativeVideoCodecs = nativeVideoCodecs});
  }

  std::vector<std::string> nativeVideoCodecs;

  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  std::shared_ptr<FakeWindowList> windowList = std::make_shared<FakeWindowList>();
  std::shared_ptr<FakeBrowserTabs> browserTabs = std::make_shared<FakeBrowserTabs>();
  std::shared_ptr<FakeSystemInfo> systemInfo = std::make_shared<FakeSystemInfo>();
  bool accessibility = true;
  bool screenCapture = true;
  bool phoneHost = false;
};

TEST_F(MacSnapshotProviderTest, RunningApps_SortedByRankThenNameStablyWithoutProhibitedOnes) {
  workspace->running = {
      {.bundleIdentifier = "org.gimp.GIMP", .localizedName = "gimp", .processIdentifier = 1},
      {.bundleIdentifier = "panel",
       .localizedName = "Panel",
       .processIdentifier = 2,
       .activationPolicy = ActivationPolicy::prohibited},
      {.bundleIdentifier = "xterm", .localizedName = "XTerm", .processIdentifier = 3},
      {.bundleIdentifier = "chromium",
       .localizedName = "Chromium",
       .processIdentifier = 4,
       .isActive = true},
      {.bundleIdentifier = "second.gimp",
       .localizedName = "GIMP",
       .processIdentifier = 5,
       .activationPolicy = ActivationPolicy::accessory},
      {.bundleIdentifier = "org.inkscape", .localizedName = "Inkscape", .processIdentifier = 6},
      {.processIdentifier = 7},
      {.bundleIdentifier = "", .localizedName = "", .processIdentifier = 8}};
  windowList->visible = {
      {.number = 31, .ownerName = "XTerm", .ownerProcessIdentifier = 3},
      {.number = 11, .ownerName = "gimp", .ownerProcessIdentifier = 1, .layer = 3}};
  const auto apps = provider().runningApps();
  std::vector<std::string> names;
  for (const AppInfo& app : apps)
    names.push_back(app.name);
  // "gimp" and "GIMP" are equal ignoring case and keep the platform's order.
  EXPECT_EQ(names, (std::vector<std::string>{"Chromium", "XTerm", "gimp", "GIMP", "Inkscape",
                                             "Unknown App", "Unknown App"}));
  EXPECT_EQ(apps[1], (AppInfo{.name = "XTerm",
                              .bundleIdentifier = "xterm",
                              .processIdentifier = 3,
                              .isActive = false,
                              .activationPolicy = "regular",
                              .category = "System",
                              .hasVisibleWindows = true}));
  EXPECT_EQ(apps[2].hasVisibleWindows, false);  // its only window is not at layer 0
  EXPECT_EQ(apps[3].activationPolicy, "accessory");
  EXPECT_EQ(provider().focusedApp()->name, "Chromium");
  workspace->running[3].isActive = false;
  EXPECT_FALSE(provider().focusedApp());
}

TEST_F(MacSnapshotProviderTest, Windows_MixTabsAndPlainWindowsInTheSpecifiedOrder) {
  workspace->running = {
      {.bundleIdentifier = "xterm", .localizedName = "XTerm", .processIdentifier = 3},
      {.bundleIdentifier = "chromium",
       .localizedName = "Chromium",
       .processIdentifier = 4,
       .isActive = true},
      {.bundleIdentifier = "firefox", .localizedName = "Firefox", .processIdentifier = 5}};
  windowList->visible = {
      {.number = 40, .ownerName = "Chromium", .ownerProcessIdentifier = 4, .title = "Chromium"},
      {.number = 30,
       .ownerName = "XTerm",
       .ownerProcessIdentifier = 3,
       .title = "b shell",
       .isFocused = true},
      {.number = 31, .ownerName = "XTerm", .ownerProcessIdentifier = 3, .title = "A shell"},
      {.number = 50, .ownerName = "Firefox", .ownerProcessIdentifier = 5, .title = "Mozilla"},
      {.number = 60, .ownerName = "stray", .ownerProcessIdentifier = 99, .title = "no app"},
      {.number = 70,
       .ownerName = "XTerm",
       .ownerProcessIdentifier = 3,
       .title = "menu",
       .layer = 3}};
  browserTabs->tabsByBrowser["chromium"] = {
      {.windowIndex = 2, .tabIndex = 1, .isActive = true, .title = "", .url = "about:blank"},
      {.windowIndex = 1, .tabIndex = 2, .isActive = false, .title = "News", .url = "https://n/"},
      {.windowIndex = 1, .tabIndex = 1, .isActive = true, .title = "Mail", .url = "https://m/"}};
  browserTabs->tabsByBrowser["firefox"] = {{.title = "never asked"}};

  const auto windows = runAwaitable(provider().windows());
  std::vector<std::string> ids;
  for (const WindowInfo& window : windows)
    ids.push_back(window.id.value_or("?"));
  // The plain window's title "Chromium" sorts before the tabs' titles; tabs follow their indices.
  EXPECT_EQ(ids,
            (std::vector<std::string>{"40", "chromium-window-1-tab-1", "chromium-window-1-tab-2",
                                      "chromium-window-2-tab-1", "50", "31", "30", "60"}));
  EXPECT_EQ(windows[3], (WindowInfo{.id = "chromium-window-2-tab-1",
                                    .title = "Untitled",
                                    .appName = "Chromium",
                                    .bundleIdentifier = "chromium",
                                    .isFocused = true,
                                    .kind = "browserTab",
                                    .url = "about:blank",
                                    .browserWindowIndex = 2,
                                    .browserTabIndex = 1,
                                    .category = "Browsers"}));
  EXPECT_EQ(windows[1].isFocused, true);
  EXPECT_EQ(windows[2].isFocused, false);
  EXPECT_EQ(windows[6], (WindowInfo{.id = "30",
                                    .title = "b shell",
                                    .appName = "XTerm",
                                    .bundleIdentifier = "xterm",
                                    .isFocused = true,
                                    .category = "System"}));
  EXPECT_EQ(windows[7].category, std::nullopt);  // no owning application: last

  // A tab of an inactive browser is never focused.
  workspace->running[1].isActive = false;
  for (const WindowInfo& window : runAwaitable(provider().windows())) {
    if (window.kind) {
      EXPECT_EQ(window.isFocused, false);
    }
  }
}

TEST(MacSnapshotWindowOrder, TabsAndPlainWindowsOfOneBrowser_SortWithoutLosingAnyWindow) {
  // Indices compare only between tabs, titles otherwise: a cycle the sort must survive.
  std::vector<WindowInfo> windows;
  for (int i = 0; i < 40; ++i) {
    WindowInfo window{.id = std::to_string(i),
                      .title = std::string(1, static_cast<char>('a' + (i * 7) % 26)),
                      .appName = "Chromium",
                      .category = "Browsers"};
    if (i % 2 == 0) {
      window.browserWindowIndex = 1;
      window.browserTabIndex = 40 - i;
    }
    windows.push_back(window);
  }
  auto sorted = windows;
  MacSnapshotProvider::sortWindows(sorted);
  ASSERT_EQ(sorted.size(), windows.size());
  EXPECT_TRUE(std::is_permutation(sorted.begin(), sorted.end(), windows.begin(), windows.end()));
}

TEST_F(MacSnapshotProviderTest, Capabilities_KeysInOrderWithPermissionsAndFlags) {
  const auto keys = [](const JSONObject& object) {
    std::vector<std::string> names;
    for (const auto& [key, value] : object)
      names.push_back(key);
    return names;
  };
  accessibility = true;
  screenCapture = false;
  phoneHost = true;
  const JSONObject capabilities = provider().capabilities();
  EXPECT_EQ(keys(capabilities),
            (std::vector<std::string>{
                "platform", "semanticControl", "screenCapture", "screenControl", "lowLatencyWebRTC",
                "videoTransports", "experimentalVideoTransports", "nativeVideoCodecs",
                "encryptedCommands", "pointerMove", "phoneViewer", "phoneHostFrameReceiver",
                "appleIPhoneMirroring", "accessibility", "runningApps", "windows"}));
  EXPECT_EQ(capabilities, (JSONObject{{"platform", "linux"},
                                      {"semanticControl", true},
                                      {"screenCapture", false},
                                      {"screenControl", false},
                                      {"lowLatencyWebRTC", false},
                                      {"videoTransports", JSONValue::strings({"webrtc"})},
                                      {"experimentalVideoTransports", JSONValue::strings({})},
                                      {"nativeVideoCodecs", JSONValue::strings({})},
                                      {"encryptedCommands", true},
                                      {"pointerMove", true},
                                      {"phoneViewer", true},
                                      {"phoneHostFrameReceiver", true},
                                      {"appleIPhoneMirroring", false},
                                      {"accessibility", true},
                                      {"runningApps", true},
                                      {"windows", true}}));

  // The native path is offered only with codecs to serve it.
  accessibility = false;
  screenCapture = true;
  phoneHost = false;
  nativeVideoCodecs = {"h264"};
  const JSONObject other = provider().capabilities();
  EXPECT_EQ(*other.find("videoTransports"), JSONValue::strings({"webrtc", "native_videotoolbox"}));
  EXPECT_EQ(*other.find("experimentalVideoTransports"),
            JSONValue::strings({"native_videotoolbox"}));
  EXPECT_EQ(*other.find("nativeVideoCodecs"), JSONValue::strings({"h264"}));
  EXPECT_EQ(*other.find("semanticControl"), JSONValue(false));
  EXPECT_EQ(*other.find("accessibility"), JSONValue(false));
  EXPECT_EQ(*other.find("screenCapture"), JSONValue(true));
  EXPECT_EQ(*other.find("lowLatencyWebRTC"), JSONValue(true));
  EXPECT_EQ(*other.find("screenControl"), JSONValue(false));
  EXPECT_EQ(*other.find("phoneViewer"), JSONValue(false));
}

TEST_F(MacSnapshotProviderTest, HeartbeatAndEnrollment_CarryIdentityAndOneConsistentReading) {
  workspace->running = {{.bundleIdentifier = "xterm",
                         .localizedName = "XTerm",
                         .processIdentifier = 3,
                         .isActive = true}};
  windowList->visible = {
      {.number = 30, .ownerName = "XTerm", .ownerProcessIdentifier = 3, .title = "shell"}};
  const HeartbeatPayload heartbeat = runAwaitable(provider().heartbeatPayload());
  EXPECT_EQ(heartbeat.hostname, "desk.lan");
  EXPECT_EQ(heartbeat.osVersion, "Linux Debian 12 (6.1.0)");
  EXPECT_EQ(heartbeat.agentVersion, "0.1.0");
  EXPECT_EQ(heartbeat.capabilities, provider().capabilities());
  ASSERT_TRUE(heartbeat.focusedApp);
  EXPECT_EQ(heartbeat.focusedApp->bundleIdentifier, "xterm");
  EXPECT_EQ(heartbeat.runningApps.size(), 1u);
  EXPECT_EQ(heartbeat.windows.size(), 1u);
  EXPECT_EQ(workspace->listings, 1);

  EXPECT_EQ(provider().enrollmentPayload("KEY"),
            (EnrollmentRequestPayload{.deviceName = "Desk",
                                      .hostname = "desk.lan",
                                      .platform = "linux",
                                      .publicKey = "KEY",
                                      .capabilities = provider().capabilities()}));
  systemInfo->computer.reset();
  EXPECT_EQ(provider().enrollmentPayload("KEY").deviceName, "desk.lan");
}

}  // namespace
}  // namespace tavolin
