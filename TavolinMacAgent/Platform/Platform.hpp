#pragma once

#include <functional>
#include <memory>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Security/SecureItemStore.hpp"
#include "TavolinMacAgent/Platform/BenchmarkSurfaces.hpp"
#include "TavolinMacAgent/Platform/BrowserTabs.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/InputInjector.hpp"
#include "TavolinMacAgent/Platform/Pasteboard.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"
#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"
#include "TavolinMacAgent/Platform/ServiceAdvertiser.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"
#include "TavolinMacAgent/Platform/WindowList.hpp"
#include "TavolinMacAgent/Platform/Workspace.hpp"

namespace tavolin {

// Every operating-system capability the agent uses, built once by the start sequence and
// handed to the components; tests build one of fakes instead.
struct Platform {
  std::shared_ptr<DisplayGeometry> displayGeometry;
  std::shared_ptr<InputInjector> inputInjector;
  std::shared_ptr<ScreenCapture> screenCapture;
  std::shared_ptr<Pasteboard> pasteboard;
  std::shared_ptr<Workspace> workspace;
  std::shared_ptr<WindowList> windowList;
  std::shared_ptr<BrowserTabs> browserTabs;
  std::shared_ptr<BenchmarkSurfaces> benchmarkSurfaces;
  std::shared_ptr<SystemInfo> systemInfo;
  std::shared_ptr<ServiceAdvertiser> serviceAdvertiser;
  std::shared_ptr<PeerConnectionFactory> peerConnectionFactory;
  // The desktop's keychain; empty when none answers, and the agent keeps its secrets in files.
  std::shared_ptr<SecureItemStore> secureItemStore;
};

// Builds the platform for the start sequence: the Linux one in the agent, fakes in tests.
// `mainExecutor` receives the platform's events.
using PlatformFactory = std::function<Platform(Executor mainExecutor, const Environment&)>;

// The X11 desktop named by `DISPLAY` (connected lazily, so the agent runs on while the display
// is unreachable and its permissions read as not granted), with the Linux services beside it.
// Asks the session bus once whether a Secret Service answers.
Platform makeLinuxPlatform(Executor mainExecutor, const Environment& environment);

}  // namespace tavolin
