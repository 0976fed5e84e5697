#include "TavolinMacAgent/Platform/GStreamer/GStreamerPeerConnection.hpp"
#include "TavolinMacAgent/Platform/Linux/AvahiServiceAdvertiser.hpp"
#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "TavolinMacAgent/Platform/Linux/DevToolsBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Linux/LibsecretItemStore.hpp"
#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"
#include "TavolinMacAgent/Platform/Platform.hpp"
#include "TavolinMacAgent/Platform/X11/X11BenchmarkSurfaces.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"
#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/X11/X11InputInjector.hpp"
#include "TavolinMacAgent/Platform/X11/X11Pasteboard.hpp"
#include "TavolinMacAgent/Platform/X11/X11ScreenCapture.hpp"
#include "TavolinMacAgent/Platform/X11/X11WindowList.hpp"
#include "TavolinMacAgent/Platform/X11/X11Workspace.hpp"

namespace tavolin {

Platform makeLinuxPlatform(Executor mainExecutor, const Environment& environment) {
  const std::string displayName = environmentValue(environment, "DISPLAY").value_or("");
  auto shared = std::make_shared<X11DisplayConnector>(displayName);
  // The injector drops every event on its connection (all clients receive MappingNotify), so
  // it must not share one with a component that reads events.
  auto forInput = std::make_shared<X11DisplayConnector>(displayName);
  auto catalog = std::make_shared<DesktopEntryCatalog>(environment);

  Platform platform;
  platform.displayGeometry = std::make_shared<X11DisplayGeometry>(shared);
  platform.inputInjector = std::make_shared<X11InputInjector>(forInput);
  platform.screenCapture = std::make_shared<X11ScreenCapture>(shared);
  platform.pasteboard = std::make_shared<X11Pasteboard>(displayName);
  platform.workspace = std::make_shared<X11Workspace>(shared, catalog);
  platform.windowList = std::make_shared<X11WindowList>(shared, catalog);
  platform.browserTabs = std::make_shared<DevToolsBrowserTabs>();
  platform.benchmarkSurfaces = std::make_shared<X11BenchmarkSurfaces>(displayName);
  platform.systemInfo = std::make_shared<LinuxSystemInfo>();
  platform.serviceAdvertiser = std::make_shared<AvahiServiceAdvertiser>(std::move(mainExecutor));
  platform.peerConnectionFactory = std::make_shared<GStreamerPeerConnectionFactory>();
  if (LibsecretItemStore::isServiceAvailable())
    platform.secureItemStore = std::make_shared<LibsecretItemStore>();
  return platform;
}

}  // namespace tavolin
