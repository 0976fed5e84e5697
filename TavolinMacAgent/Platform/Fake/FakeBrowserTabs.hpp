#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "TavolinMacAgent/Platform/BrowserTabs.hpp"

namespace tavolin {

// Tabs in memory by browser identifier. Records focus requests; `focusFailure` makes them fail
// with that message.
class FakeBrowserTabs final : public BrowserTabs {
 public:
  std::map<std::string, std::vector<BrowserTab>> tabsByBrowser;
  std::optional<std::string> focusFailure;

  std::vector<std::tuple<std::string, std::int64_t, std::int64_t>> focused;

  Awaitable<std::vector<BrowserTab>> tabs(const RunningApplication& browser) override {
    const auto found = tabsByBrowser.find(browser.bundleIdentifier.value_or(""));
    co_return found == tabsByBrowser.end() ? std::vector<BrowserTab>{} : found->second;
  }

  Awaitable<std::optional<std::string>> focusTab(const RunningApplication& browser,
                                                 std::int64_t windowIndex,
                                                 std::int64_t tabIndex) override {
    focused.emplace_back(browser.bundleIdentifier.value_or(""), windowIndex, tabIndex);
    co_return focusFailure;
  }
};

}  // namespace tavolin
