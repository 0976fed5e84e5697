#include "TavolinMacAgent/App/MacAgentUpdateMonitor.hpp"

#include <utility>

#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Timers.hpp"

namespace tavolin {
std::shared_ptr<MacAgentUpdateMonitor> MacAgentUpdateMonitor::make(Dependencies dependencies) {
  return std::shared_ptr<MacAgentUpdateMonitor>(new MacAgentUpdateMonitor(std::move(dependencies)));
}

MacAgentUpdateMonitor::MacAgentUpdateMonitor(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {}

MacAgentUpdateMonitor::~MacAgentUpdateMonitor() {
  stop();
}

void MacAgentUpdateMonitor::start() {
  if (task_)
    return;
  task_ = Task::spawn(dependencies_.mainExecutor, "update-monitor",
                      [weak = weak_from_this(), environment = dependencies_.environment,
                       systemInfo = dependencies_.systemInfo,
                       interval = dependencies_.interval]() -> Awaitable<void> {
                        // Not holding the monitor across the wait: its going joins the queue.
                        SerialQueue* queue = nullptr;
                        if (const auto self = weak.lock())
                          queue = &self->queue_;
                        if (!queue)
                          co_return;
                        std::optional<MacAgentUpdateChecker> checker = co_await runOn(*queue, [&] {
                          return MacAgentUpdateChecker(environment,
                                                       systemInfo->operatingSystemRelease());
                        });
                        for (;;) {
                          auto result = co_await checker->checkForUpdates();
                          const auto self = weak.lock();
                          if (!self || self->stopped_)
                            co_return;
                          self->report(std::move(result));
                          co_await sleepFor(interval);
                        }
                      });
}

void MacAgentUpdateMonitor::stop() {
  stopped_ = true;
  task_.cancel();
}

void MacAgentUpdateMonitor::report(MacAgentUpdateCheckResult result) {
  writeDiagnosticLine(*dependencies_.diagnostics, diagnosticLine(result));
  lastResult_ = std::move(result);
  if (observer_)
    observer_(*lastResult_);
}

std::string MacAgentUpdateMonitor::diagnosticLine(const MacAgentUpdateCheckResult& result) {
  if (const auto* available = std::get_if<MacAgentUpdateAvailable>(&result)) {
    const auto& manifest = available->manifest;
    return singleLine("TAVOLIN_AGENT_UPDATE_AVAILABLE version=" + manifest.version +
                      " build=" + manifest.build + " url=" + manifest.downloadURL);
  }
  if (const auto* upToDate = std::get_if<MacAgentUpToDate>(&result)) {
    return singleLine("TAVOLIN_AGENT_UP_TO_DATE version=" + upToDate->currentVersion +
                      " build=" + upToDate->build);
  }
  return singleLine("TAVOLIN_AGENT_UPDATE_CHECK_FAILED message=" +
                    std::get<MacAgentUpdateFailed>(result).message);
}

}  // namespace tavolin
