#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/BrowserTabs.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"
#include "TavolinMacAgent/Platform/WindowList.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

// What runs on this computer (applications, windows, browser tabs) and what the agent can do,
// for heartbeats, enrolment and the local device record. Runs where its caller runs (the main
// actor) and only queries the platform; listing never fails.
class MacSnapshotProvider {
 public:
  static constexpr std::string_view agentVersion = "0.1.0";

  struct Platform {
    std::shared_ptr<Workspace> workspace{};
    std::shared_ptr<WindowList> windowList{};
    std::shared_ptr<BrowserTabs> browserTabs{};
    std::shared_ptr<SystemInfo> systemInfo{};
    // The screen-capture permission (ScreenCapture::canCapture).
    std::function<bool()> screenCaptureAllowed{};
    // The accessibility permission (InputInjector::isTrusted).
    std::function<bool()> accessibilityTrusted{};
    // TavolinFeatureFlags::phoneHostModeEnabled with the agent's defaults and environment.
    std::function<bool()> phoneHostModeEnabled{};
    // The codecs of the native video path (SessionPublisherFactory::nativeVideoCodecs when it
    // is available); empty when this build has no native path.
    std::vector<std::string> nativeVideoCodecs{};
  };

  explicit MacSnapshotProvider(Platform platform);

  // Regular and accessory applications, by category rank, then name ignoring case; the
  // platform's order is kept among equals.
  std::vector<AppInfo> runningApps();
  std::optional<AppInfo> focusedApp();
  // Plain windows of layer 0 and the tabs of scriptable browsers together, ordered by category
  // rank, application name, browser window and tab index, then title.
  Awaitable<std::vector<WindowInfo>> windows();

  // Keys in the order controllers expect.
  JSONObject capabilities();
  // Whether phone host mode is switched on now; the local phone routes follow the same switch.
  bool phoneHostModeEnabled() const;
  std::string osVersion();

  Awaitable<HeartbeatPayload> heartbeatPayload();
  EnrollmentRequestPayload enrollmentPayload(std::string publicKey);

  // The ordering rules, for anyone listing outside the provider.
  static void sortApps(std::vector<AppInfo>& apps);
  static void sortWindows(std::vector<WindowInfo>& windows);

 private:
  std::vector<AppInfo> appsFrom(const std::vector<RunningApplication>& running,
                                const std::vector<VisibleWindow>& visible);
  Awaitable<std::vector<WindowInfo>> windowsFrom(const std::vector<RunningApplication>& running,
                                                 const std::vector<VisibleWindow>& visible);
  std::vector<VisibleWindow> layerZeroWindows();

  Platform platform_;
};

}  // namespace tavolin
