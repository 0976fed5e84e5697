#include "TavolinMacAgent/Snapshot/MacSnapshotProvider.hpp"

#include <algorithm>
#include <filesystem>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinMacAgent/Snapshot/AppCategory.hpp"

namespace tavolin {
namespace {

std::string policyName(ActivationPolicy policy) {
  switch (policy) {
    case ActivationPolicy::regular:
      return "regular";
    case ActivationPolicy::accessory:
      return "accessory";
    case ActivationPolicy::prohibited:
      return "prohibited";
  }
  return "unknown";
}

bool isListed(const RunningApplication& application) {
  return application.activationPolicy != ActivationPolicy::prohibited;
}

bool owns(const RunningApplication& application, const VisibleWindow& window) {
  if (application.processIdentifier)
    return window.ownerProcessIdentifier == application.processIdentifier;
  return !window.ownerProcessIdentifier && window.ownerName == applicationDisplayName(application);
}

const RunningApplication* owner(const std::vector<RunningApplication>& running,
                                const VisibleWindow& window) {
  const auto found = std::find_if(running.begin(), running.end(), [&](const auto& application) {
    return isListed(application) && owns(application, window);
  });
  return found == running.end() ? nullptr : &*found;
}

std::string appCategory(const RunningApplication& application) {
  return AppCategory::category(application.bundleIdentifier, applicationDisplayName(application));
}

// Negative, zero or positive; the window ordering rule.
int compareWindows(const WindowInfo& lhs, const WindowInfo& rhs) {
  const int leftRank = AppCategory::rank(lhs.category);
  const int rightRank = AppCategory::rank(rhs.category);
  if (leftRank != rightRank)
    return leftRank < rightRank ? -1 : 1;
  if (const int byApp = compareIgnoringCase(lhs.appName.value_or(""), rhs.appName.value_or(""));
      byApp != 0) {
    return byApp;
  }
  for (auto index : {&WindowInfo::browserWindowIndex, &WindowInfo::browserTabIndex}) {
    const auto& left = lhs.*index;
    const auto& right = rhs.*index;
    if (left && right && *left != *right)
      return *left < *right ? -1 : 1;
  }
  return compareIgnoringCase(lhs.title.value_or(""), rhs.title.value_or(""));
}

}  // namespace

MacSnapshotProvider::MacSnapshotProvider(Platform platform) : platform_(std::move(platform)) {}

void MacSnapshotProvider::sortApps(std::vector<AppInfo>& apps) {
  std::stable_sort(apps.begin(), apps.end(), [](const AppInfo& lhs, const AppInfo& rhs) {
    const int leftRank = AppCategory::rank(lhs.category);
    const int rightRank = AppCategory::rank(rhs.category);
    if (leftRank != rightRank)
      return leftRank < rightRank;
    return compareIgnoringCase(lhs.name, rhs.name) < 0;
  });
}

void MacSnapshotProvider::sortWindows(std::vector<WindowInfo>& windows) {
  // The rule compares indices only where both sides have them, so a browser's plain windows and
  // its tabs can order in a cycle; library sorts assume a strict weak order and may run out of
  // bounds then. A guarded insertion sort is defined for any comparison (and stable).
  for (std::size_t i = 1; i < windows.size(); ++i) {
    std::size_t j = i;
    while (j > 0 && compareWindows(windows[i], windows[j - 1]) < 0)
      --j;
    std::rotate(windows.begin() + static_cast<std::ptrdiff_t>(j),
                windows.begin() + static_cast<std::ptrdiff_t>(i),
                windows.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
}

std::vector<VisibleWindow> MacSnapshotProvider::layerZeroWindows() {
  auto windows = platform_.windowList->visibleWindows();
  std::erase_if(windows, [](const VisibleWindow& window) { return window.layer != 0; });
  return windows;
}

std::vector<AppInfo> MacSnapshotProvider::appsFrom(const std::vector<RunningApplication>& running,
                                                   const std::vector<VisibleWindow>& visible) {
  std::vector<AppInfo> apps;
  for (const RunningApplication& application : running) {
    if (!isListed(application))
      continue;
    apps.push_back(AppInfo{
        .name = applicationDisplayName(application),
        .bundleIdentifier = application.bundleIdentifier,
        .processIdentifier = application.processIdentifier,
        .isActive = application.isActive,
        .activationPolicy = policyName(application.activationPolicy),
        .category = appCategory(application),
        .hasVisibleWindows = std::any_of(visible.begin(), visible.end(), [&](const auto& window) {
          return owns(application, window);
        })});
  }
  sortApps(apps);
  return apps;
}

std::vector<AppInfo> MacSnapshotProvider::runningApps() {
  return appsFrom(platform_.workspace->runningApplications(), layerZeroWindows());
}

std::optional<AppInfo> MacSnapshotProvider::focusedApp() {
  for (AppInfo& app : runningApps()) {
    if (app.isActive == true)
      return std::move(app);
  }
  return std::nullopt;
}

Awaitable<std::vector<WindowInfo>> MacSnapshotProvider::windowsFrom(
    const std::vector<RunningApplication>& running, const std::vector<VisibleWindow>& visible) {
  std::vector<WindowInfo> windows;
  for (const VisibleWindow& window : visible) {
    const RunningApplication* application = owner(running, window);
    windows.push_back(WindowInfo{
        .id = std::to_string(window.number),
        .title = window.title,
        .appName = window.ownerName,
        .bundleIdentifier = application ? application->bundleIdentifier : std::nullopt,
        .isFocused = window.isFocused,
        .category = application ? std::optional(appCategory(*application)) : std::nullopt});
  }
  for (const RunningApplication& browser : running) {
    if (!isListed(browser) || !browser.bundleIdentifier ||
        !AppCategory::isScriptableBrowser(*browser.bundleIdentifier)) {
      continue;
    }
    const std::vector<BrowserTab> tabs = co_await platform_.browserTabs->tabs(browser);
    const std::string& identifier = *browser.bundleIdentifier;
    for (const BrowserTab& tab : tabs) {
      windows.push_back(WindowInfo{.id = identifier + "-window-" + std::to_string(tab.windowIndex) +
                                         "-tab-" + std::to_string(tab.tabIndex),
                                   .title = tab.title.empty() ? "Untitled" : tab.title,
                                   .appName = applicationDisplayName(browser),
                                   .bundleIdentifier = identifier,
                                   .isFocused = browser.isActive && tab.isActive,
                                   .kind = "browserTab",
                                   .url = tab.url,
                                   .browserWindowIndex = tab.windowIndex,
                                   .browserTabIndex = tab.tabIndex,
                                   .category = std::string(AppCategory::browsers)});
    }
  }
  sortWindows(windows);
  co_return windows;
}

Awaitable<std::vector<WindowInfo>> MacSnapshotProvider::windows() {
  const auto running = platform_.workspace->runningApplications();
  const auto visible = layerZeroWindows();
  co_return co_await windowsFrom(running, visible);
}

JSONObject MacSnapshotProvider::capabilities() {
  const bool accessibility = platform_.accessibilityTrusted && platform_.accessibilityTrusted();
  const bool screenCapture = platform_.screenCaptureAllowed && platform_.screenCaptureAllowed();
  const bool phoneHost = phoneHostModeEnabled();
  // Never present off macOS; checked all the same so the key means one thing everywhere.
  std::error_code ignored;
  const bool mirroring =
      phoneHost && std::filesystem::exists("/System/Applications/iPhone Mirroring.app", ignored);
  // Only the paths this build can serve: the native one joins once it has codecs here.
  const std::vector<std::string>& nativeCodecs = platform_.nativeVideoCodecs;
  std::vector<std::string> transports{"webrtc"};
  std::vector<std::string> experimental;
  if (!nativeCodecs.empty()) {
    transports.emplace_back("native_videotoolbox");
    experimental.emplace_back("native_videotoolbox");
  }
  return JSONObject{
      {"platform", platform_.systemInfo->platformName()},
      {"semanticControl", accessibility},
      {"screenCapture", screenCapture},
      {"screenControl", accessibility && screenCapture},
      {"lowLatencyWebRTC", screenCapture},
      {"videoTransports", JSONValue::strings(transports)},
      {"experimentalVideoTransports", JSONValue::strings(experimental)},
      {"nativeVideoCodecs", JSONValue::strings(nativeCodecs)},
      {"encryptedCommands", true},
      {"pointerMove", true},
      {"phoneViewer", phoneHost},
      {"phoneHostFrameReceiver", phoneHost},
      {"appleIPhoneMirroring", mirroring},
      {"accessibility", accessibility},
      {"runningApps", true},
      {"windows", true},
  };
}

bool MacSnapshotProvider::phoneHostModeEnabled() const {
  return platform_.phoneHostModeEnabled && platform_.phoneHostModeEnabled();
}

std::string MacSnapshotProvider::osVersion() {
  return platform_.systemInfo->osVersion();
}

Awaitable<HeartbeatPayload> MacSnapshotProvider::heartbeatPayload() {
  // One reading of the platform for the whole payload, so the lists agree with each other.
  const auto running = platform_.workspace->runningApplications();
  const auto visible = layerZeroWindows();
  HeartbeatPayload payload;
  payload.hostname = platform_.systemInfo->hostName();
  payload.osVersion = osVersion();
  payload.agentVersion = std::string(agentVersion);
  payload.capabilities = capabilities();
  payload.runningApps = appsFrom(running, visible);
  for (const AppInfo& app : payload.runningApps) {
    if (app.isActive == true) {
      payload.focusedApp = app;
      break;
    }
  }
  payload.windows = co_await windowsFrom(running, visible);
  co_return payload;
}

EnrollmentRequestPayload MacSnapshotProvider::enrollmentPayload(std::string publicKey) {
  const std::string hostName = platform_.systemInfo->hostName();
  return EnrollmentRequestPayload{
      .deviceName = platform_.systemInfo->computerName().value_or(hostName),
      .hostname = hostName,
      .platform = platform_.systemInfo->platformName(),
      .publicKey = std::move(publicKey),
      .capabilities = capabilities(),
  };
}

}  // namespace tavolin
