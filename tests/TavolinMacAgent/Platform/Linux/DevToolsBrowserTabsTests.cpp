#include <fstream>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Linux/DevToolsBrowserTabs.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/ScriptedHTTPServer.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using testing::runAwaitable;
using testing::ScriptedHTTPServer;
using testing::ScriptedReply;

constexpr std::string_view kList = R"([
  {"id": "AAA1", "type": "page", "title": "Inbox", "url": "https://mail.example/"},
  {"id": "W1", "type": "service_worker", "title": "sw", "url": "https://x/"},
  {"id": "../evil", "type": "page", "title": "bad id", "url": "https://x/"},
  {"type": "page", "title": "no id"},
  7,
  {"id": "BBB2", "type": "page", "url": "about:blank"}
])";

TEST(DevToolsTargets, ListAnswer_KeepsPagesWithUsableIdsInOrder) {
  EXPECT_EQ(parseDevToolsPageTargets(kList),
            (std::vector<DevToolsTarget>{{"AAA1", "Inbox", "https://mail.example/"},
                                         {"BBB2", "", "about:blank"}}));
  EXPECT_TRUE(parseDevToolsPageTargets("").empty());
  EXPECT_TRUE(parseDevToolsPageTargets("{\"id\":\"A\",\"type\":\"page\"}").empty());
  EXPECT_TRUE(parseDevToolsPageTargets("[{\"id\":1,\"type\":\"page\"}]").empty());
  EXPECT_TRUE(parseDevToolsPageTargets("[[[[").empty());
}

TEST(DevToolsTargets, PortFromCommandLine_NeedsTheSwitchAndAValidPort) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(devToolsPort(Args{"chromium", "--remote-debugging-port=9222"}), 9222);
  EXPECT_FALSE(devToolsPort(Args{"chromium"}));
  EXPECT_FALSE(devToolsPort(Args{"chromium", "--remote-debugging-port"}));
  EXPECT_FALSE(devToolsPort(Args{"chromium", "--remote-debugging-port=65536"}));
  EXPECT_FALSE(devToolsPort(Args{"chromium", "--remote-debugging-port=-1"}));
  EXPECT_FALSE(devToolsPort(Args{"chromium", "--remote-debugging-port=92x"}));
  EXPECT_FALSE(devToolsPort(Args{"chromium", "--remote-debugging-portal=1"}));

  testing::TemporaryDirectory profile;
  const Args chosenByBrowser{"chromium", "--remote-debugging-port=0",
                             "--user-data-dir=" + profile.path().string()};
  EXPECT_FALSE(devToolsPort(chosenByBrowser));
  std::ofstream(profile.path() / "DevToolsActivePort") << "41234\n/devtools/browser/x\n";
  EXPECT_EQ(devToolsPort(chosenByBrowser), 41234);
  std::ofstream(profile.path() / "DevToolsActivePort") << "0\n";
  EXPECT_FALSE(devToolsPort(chosenByBrowser));
}

class DevToolsBrowserTabsTest : public ::testing::Test {
 protected:
  DevToolsBrowserTabs tabsOn(std::optional<std::uint16_t> port) {
    return DevToolsBrowserTabs([port](const RunningApplication&) { return port; });
  }

  std::string pathOf(std::size_t request) const {
    const std::string line = server.requests().at(request).requestLine();
    return line.substr(0, line.rfind(' '));
  }

  ScriptedHTTPServer server;
  const RunningApplication browser{.bundleIdentifier = "chromium", .processIdentifier = 4321};
};

TEST_F(DevToolsBrowserTabsTest, Listing_NumbersPagesInWindowOneWithTheFirstActive) {
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, kList)));
  auto tabs = tabsOn(server.port());
  EXPECT_EQ(runAwaitable(tabs.tabs(browser)),
            (std::vector<BrowserTab>{{.windowIndex = 1,
                                      .tabIndex = 1,
                                      .isActive = true,
                                      .title = "Inbox",
                                      .url = "https://mail.example/"},
                                     {.windowIndex = 1,
                                      .tabIndex = 2,
                                      .isActive = false,
                                      .title = "",
                                      .url = "about:blank"}}));
  EXPECT_EQ(pathOf(0), "GET /json/list");

  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(500, "[]")));
  EXPECT_TRUE(runAwaitable(tabs.tabs(browser)).empty());
  EXPECT_TRUE(runAwaitable(tabsOn(std::nullopt).tabs(browser)).empty());
}

TEST_F(DevToolsBrowserTabsTest, Focus_ActivatesTheTargetOfThatTabOrSaysWhyNot) {
  auto tabs = tabsOn(server.port());
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, kList)));
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, "Target activated")));
  EXPECT_EQ(runAwaitable(tabs.focusTab(browser, 1, 2)), std::nullopt);
  EXPECT_EQ(pathOf(1), "GET /json/activate/BBB2");

  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, kList)));
  const auto outOfRange = runAwaitable(tabs.focusTab(browser, 1, 3));
  ASSERT_TRUE(outOfRange);
  EXPECT_NE(outOfRange->find("tab 3"), std::string::npos);
  EXPECT_EQ(server.requests().size(), 3u);  // listed, nothing activated

  EXPECT_TRUE(runAwaitable(tabs.focusTab(browser, 2, 1)));  // one tab strip: window 1 only
  EXPECT_EQ(server.requests().size(), 3u);
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, kList)));
  EXPECT_TRUE(runAwaitable(tabs.focusTab(browser, 1, 0)));
  EXPECT_EQ(server.requests().size(), 4u);

  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(200, kList)));
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(404, "No such target")));
  const auto refused = runAwaitable(tabs.focusTab(browser, 1, 1));
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find("404"), std::string::npos);

  const auto noPort = runAwaitable(tabsOn(std::nullopt).focusTab(browser, 1, 1));
  ASSERT_TRUE(noPort);
  EXPECT_FALSE(noPort->empty());
}

}  // namespace
}  // namespace tavolin
