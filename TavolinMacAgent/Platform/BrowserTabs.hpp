#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

struct BrowserTab {
  // Both 1-based, as the browser numbers them.
  std::int64_t windowIndex = 1;
  std::int64_t tabIndex = 1;
  // The current tab of its window.
  bool isActive = false;
  std::string title{};
  std::string url{};

  bool operator==(const BrowserTab&) const = default;
};

// The tabs of running browsers, read and switched through the browser's own automation
// interface. Called on the main actor only; every network step is bounded.
class BrowserTabs {
 public:
  virtual ~BrowserTabs() = default;

  // The browser's tabs; empty when the browser cannot be asked.
  virtual Awaitable<std::vector<BrowserTab>> tabs(const RunningApplication& browser) = 0;

  // Makes the tab current in its window. Nothing on success, else why not (possibly empty
  // when the browser gave no reason).
  virtual Awaitable<std::optional<std::string>> focusTab(const RunningApplication& browser,
                                                         std::int64_t windowIndex,
                                                         std::int64_t tabIndex) = 0;
};

}  // namespace tavolin
