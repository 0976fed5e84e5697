#include <gtest/gtest.h>

#include "TavolinMacAgent/Commands/AppCommands.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWindowList.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWorkspace.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using testing::runAwaitable;

class AppCommandsTest : public ::testing::Test {
 protected:
  AppCommandsTest() {
    workspace->running = {
        {.bundleIdentifier = "xterm", .localizedName = "XTerm", .processIdentifier = 10},
        {.bundleIdentifier = "org.gnome.TextEditor",
         .localizedName = "Text Editor",
         .processIdentifier = 20},
        {.bundleIdentifier = "xterm", .localizedName = "XTerm", .processIdentifier = 11},
        {.bundleIdentifier = "panel",
         .localizedName = "Panel",
         .processIdentifier = 30,
         .activationPolicy = ActivationPolicy::prohibited},
        {.bundleIdentifier = "chromium", .localizedName = "Chromium", .processIdentifier = 40}};
    workspace->installed = {
        {.bundleIdentifier = "org.gimp.GIMP",
         .name = "GIMP",
         .path = "/apps/org.gimp.GIMP.desktop"},
        {.bundleIdentifier = "inkscape", .name = "Inkscape", .path = "/apps/inkscape.desktop"}};
    windowList->windowsByProcess[10] = {{.number = 100, .title = "shell one"}};
    windowList->windowsByProcess[11] = {{.number = 110, .title = "shell two"},
                                        {.number = 111, .title = "Text Editor"}};
    windowList->windowsByProcess[20] = {{.number = 200, .title = "notes.txt"}};
    windowList->windowsByProcess[30] = {{.number = 300, .title = "panel"}};
  }

  CompleteCommandPayload run(std::string_view type, const JSONObject& payload) {
    return runAwaitable(executor.execute(type, payload));
  }

  static std::string reason(const CompleteCommandPayload& answer) {
    const JSONValue* value = answer.result.find("reason");
    return value && value->string() ? *value->string() : "(" + answer.status + ")";
  }

  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  std::shared_ptr<FakeWindowList> windowList = std::make_shared<FakeWindowList>();
  std::shared_ptr<FakeBrowserTabs> browserTabs = std::make_shared<FakeBrowserTabs>();
  bool trusted = true;
  std::shared_ptr<AppCommands> commands =
      std::make_shared<AppCommands>(workspace, windowList, browserTabs, [this] { return trusted; });
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};

  void SetUp() override { commands->registerWith(executor); }
};

TEST_F(AppCommandsTest, AppSelectors_MatchByIdentifierFirstThenByNameIgnoringCase) {
  EXPECT_EQ(reason(run("focus_app", {})), "missing_app_selector");
  EXPECT_EQ(reason(run("open_app", {{"bundleIdentifiers", JSONArray{}}, {"appName", ""}})),
            "missing_app_selector");
  EXPECT_EQ(reason(run("focus_app", {{"bundleIdentifier", 5}})), "missing_app_selector");
  EXPECT_TRUE(workspace->activated.empty());

  // An identifier that matches wins over a name that would match another application.
  EXPECT_EQ(run("focus_app", {{"bundleIdentifiers", JSONValue::strings({"nope", "xterm"})},
                              {"appName", "Text Editor"}})
                .result,
            (JSONObject{{"bundleIdentifier", "xterm"}, {"appName", "XTerm"}, {"activated", true}}));
  EXPECT_EQ(workspace->activated.back().processIdentifier, 10);

  EXPECT_EQ(*run("focus_app", {{"bundleIdentifier", "missing"}, {"appName", "text EDITOR"}})
                 .result.find("bundleIdentifier"),
            JSONValue("org.gnome.TextEditor"));
  EXPECT_EQ(reason(run("focus_app", {{"appName", "Panel"}})), "app_not_running");
  EXPECT_EQ(reason(run("focus_app", {{"appName", "XTer"}})), "app_not_running");

  workspace->activationSucceeds = false;
  EXPECT_EQ(reason(run("focus_app", {{"appName", "XTerm"}})), "app_activation_failed");
}

TEST_F(AppCommandsTest, OpenApp_ActivatesWhatRunsAndLaunchesWhatDoesNotOnce) {
  EXPECT_EQ(run("open_app", {{"bundleIdentifier", "xterm"}}).result,
            (JSONObject{{"bundleIdentifier", "xterm"},
                        {"appName", "XTerm"},
                        {"alreadyRunning", true},
                        {"activated", true}}));
  EXPECT_TRUE(workspace->opened.empty());

  const auto launched =
      run("open_app", {{"bundleIdentifiers", JSONValue::strings({"org.gimp.GIMP"})}});
  EXPECT_EQ(launched.status, "succeeded");
  EXPECT_EQ(launched.result, (JSONObject{{"path", "/apps/org.gimp.GIMP.desktop"},
                                         {"opened", true},
                                         {"alreadyRunning", false}}));
  const auto again = run("open_app", {{"bundleIdentifier", "org.gimp.GIMP"}});
  EXPECT_EQ(*again.result.find("alreadyRunning"), JSONValue(true));
  EXPECT_EQ(workspace->opened.size(), 1u);

  EXPECT_EQ(*run("open_app", {{"bundleIdentifier", "unknown"}, {"appName", "inkscape"}})
                 .result.find("path"),
            JSONValue("/apps/inkscape.desktop"));
  EXPECT_EQ(reason(run("open_app", {{"appName", "Photoshop"}})), "app_not_installed");

  workspace->openSucceeds = false;
  workspace->running.clear();
  EXPECT_EQ(reason(run("open_app", {{"appName", "GIMP"}})), "app_open_failed");
  workspace->running = {{.bundleIdentifier = "xterm", .processIdentifier = 1}};
  workspace->activationSucceeds = false;
  EXPECT_EQ(reason(run("open_app", {{"bundleIdentifier", "xterm"}})), "app_activation_failed");
}

TEST_F(AppCommandsTest, FocusWindow_WithoutPermission_FailsBeforeAnyLookup) {
  trusted = false;
  EXPECT_EQ(reason(run("focus_window", {{"id", "100"}})), "accessibility_not_granted");
  EXPECT_EQ(reason(run("focus_window", {})), "accessibility_not_granted");
  EXPECT_EQ(workspace->listings, 0);
  EXPECT_EQ(windowList->lookups, 0);
  EXPECT_TRUE(windowList->raised.empty());
}

TEST_F(AppCommandsTest, FocusWindow_FindsByIdThenTitleWithinTheNamedApplications) {
  EXPECT_EQ(reason(run("focus_window", {{"title", ""}, {"kind", "window"}})),
            "missing_window_selector");

  EXPECT_EQ(run("focus_window", {{"id", "110"}}).result, (JSONObject{{"id", "110"},
                                                                     {"title", "shell two"},
                                                                     {"appName", "XTerm"},
                                                                     {"raised", true},
                                                                     {"focused", true},
                                                                     {"raiseStatus", 0},
                                                                     {"mainStatus", 0}}));
  EXPECT_EQ(*run("focus_window", {{"windowId", 200}}).result.find("id"), JSONValue("200"));
  // An id that is not there falls back to the title.
  EXPECT_EQ(*run("focus_window", {{"id", "999"}, {"title", "shell one"}}).result.find("id"),
            JSONValue("100"));
  // Within the named application only: "Text Editor" is also the title of an xterm window.
  EXPECT_EQ(*run("focus_window", {{"title", "Text Editor"}, {"bundleIdentifier", "xterm"}})
                 .result.find("id"),
            JSONValue("111"));
  EXPECT_EQ(reason(run("focus_window", {{"id", "200"}, {"appName", "XTerm"}})), "window_not_found");
  // Both instances of a program are searched.
  EXPECT_EQ(*run("focus_window", {{"appName", "xterm"}, {"title", "shell two"}}).result.find("id"),
            JSONValue("110"));
  // The application alone picks its first window.
  EXPECT_EQ(*run("focus_window", {{"appName", "Text Editor"}}).result.find("id"), JSONValue("200"));
  // Prohibited applications' windows are not offered.
  EXPECT_EQ(reason(run("focus_window", {{"id", "300"}})), "window_not_found");
  EXPECT_EQ(windowList->raised, (std::vector<std::int64_t>{110, 200, 100, 111, 110, 200}));

  windowList->raiseResult = {.raiseStatus = 0, .mainStatus = WindowRaiseResult::failureStatus};
  EXPECT_EQ(run("focus_window", {{"id", "100"}}).result,
            (JSONObject{{"reason", "window_focus_failed"},
                        {"raiseStatus", 0},
                        {"mainStatus", WindowRaiseResult::failureStatus}}));
}

TEST_F(AppCommandsTest, FocusBrowserTab_NeedsTheFullSelectorAndReportsTheBrowsersError) {
  trusted = false;  // tabs are switched by the browser, not through window raising
  const JSONObject tab{{"kind", "browserTab"},
                       {"bundleIdentifier", "chromium"},
                       {"browserWindowIndex", 1},
                       {"browserTabIndex", "3"}};
  for (std::string_view missing : {"bundleIdentifier", "browserWindowIndex", "browserTabIndex"}) {
    JSONObject incomplete = tab;
    incomplete.erase(missing);
    EXPECT_EQ(reason(run("focus_window", incomplete)), "missing_browser_tab_selector") << missing;
  }
  EXPECT_EQ(run("focus_window", tab).result,
            (JSONObject{{"bundleIdentifier", "chromium"}, {"windowIndex", 1}, {"tabIndex", 3}}));
  EXPECT_EQ(browserTabs->focused.size(), 1u);
  EXPECT_EQ(workspace->activated.back().bundleIdentifier, "chromium");

  browserTabs->focusFailure = "tab 3 of window 1 not found";
  EXPECT_EQ(run("focus_window", tab).result,
            (JSONObject{{"reason", "browser_tab_focus_failed"},
                        {"error", "tab 3 of window 1 not found"}}));
  browserTabs->focusFailure = "";
  EXPECT_EQ(*run("focus_window", tab).result.find("error"), JSONValue("automation_failed"));

  JSONObject notRunning = tab;
  notRunning.set("bundleIdentifier", "google-chrome");
  EXPECT_EQ(reason(run("focus_window", notRunning)), "browser_tab_focus_failed");
}

}  // namespace
}  // namespace tavolin
