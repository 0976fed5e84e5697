#pragma once

#include <map>
#include <vector>

#include "TavolinMacAgent/Platform/WindowList.hpp"

namespace tavolin {

// Windows in memory: the on-screen list, and each application's windows by process id.
// Records every lookup and raise; `raiseResult` says how raising turns out.
class FakeWindowList final : public WindowList {
 public:
  std::vector<VisibleWindow> visible;
  std::map<std::int64_t, std::vector<ApplicationWindow>> windowsByProcess;
  WindowRaiseResult raiseResult{.raiseStatus = WindowRaiseResult::successStatus,
                                .mainStatus = WindowRaiseResult::successStatus};

  int lookups = 0;
  std::vector<std::int64_t> raised;

  std::vector<VisibleWindow> visibleWindows() override {
    ++lookups;
    return visible;
  }

  std::vector<ApplicationWindow> windows(const RunningApplication& application) override {
    ++lookups;
    const auto found = windowsByProcess.find(application.processIdentifier.value_or(-1));
    return found == windowsByProcess.end() ? std::vector<ApplicationWindow>{} : found->second;
  }

  Awaitable<WindowRaiseResult> raise(std::int64_t windowNumber) override {
    raised.push_back(windowNumber);
    co_return raiseResult;
  }
};

}  // namespace tavolin
