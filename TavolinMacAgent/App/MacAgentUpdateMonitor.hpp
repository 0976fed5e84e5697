#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinMacAgent/App/MacAgentUpdateChecker.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

// Checks for a newer agent once when started and then once a day, and tells of each result: one
// line on the diagnostics stream, the last result kept, and the observer called. Confined to the
// main actor; the check itself never blocks it.
class MacAgentUpdateMonitor : public std::enable_shared_from_this<MacAgentUpdateMonitor> {
 public:
  using Observer = std::function<void(const MacAgentUpdateCheckResult&)>;

  static constexpr std::chrono::seconds kCheckInterval{86'400};

  struct Dependencies {
    Executor mainExecutor;
    // Where the checker finds TAVOLIN_MAC_UPDATE_MANIFEST_URL.
    Environment environment;
    // Asked once, off the main actor, for the system version the manifest may require.
    std::shared_ptr<SystemInfo> systemInfo;
    // Must outlive the monitor.
    std::ostream* diagnostics = nullptr;
    std::chrono::steady_clock::duration interval = kCheckInterval;
  };

  static std::shared_ptr<MacAgentUpdateMonitor> make(Dependencies dependencies);
  ~MacAgentUpdateMonitor();

  // Idempotent; the first check starts at once.
  void start();
  // Ends the checks for good; a check under way reports nothing. Idempotent.
  void stop();

  // Called after each check, once the result is the last one.
  void setObserver(Observer observer) { observer_ = std::move(observer); }
  const std::optional<MacAgentUpdateCheckResult>& lastResult() const { return lastResult_; }

  // "TAVOLIN_AGENT_UPDATE_AVAILABLE version=<v> build=<b> url=<downloadURL>",
  // "TAVOLIN_AGENT_UP_TO_DATE version=<v> build=<b>" or
  // "TAVOLIN_AGENT_UPDATE_CHECK_FAILED message=<text>"; control characters from the manifest
  // become spaces, so the line stays one line.
  static std::string diagnosticLine(const MacAgentUpdateCheckResult& result);

 private:
  explicit MacAgentUpdateMonitor(Dependencies dependencies);
  void report(MacAgentUpdateCheckResult result);

  Dependencies dependencies_;
  Observer observer_;
  std::optional<MacAgentUpdateCheckResult> lastResult_;
  bool stopped_ = false;
  Task task_;
  // Reads the system's release file and the certificate store off the main actor. Owned here,
  // not by the task, so that it is joined when the monitor goes, before the process ends.
  SerialQueue queue_{"app.tavolin.agent.update-check"};
};

}  // namespace tavolin
