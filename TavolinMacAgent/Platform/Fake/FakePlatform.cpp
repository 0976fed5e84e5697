#include "TavolinMacAgent/Platform/Fake/FakePlatform.hpp"

#include "TavolinMacAgent/Platform/Fake/FakeBenchmarkSurfaces.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeInputInjector.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePasteboard.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePeerConnection.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeScreenCapture.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSecureItemStore.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeServiceAdvertiser.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSystemInfo.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWindowList.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWorkspace.hpp"

namespace tavolin {

Platform makeFakePlatform(Executor, const Environment&) {
  constexpr int kWidth = 1920;
  constexpr int kHeight = 1080;
  Platform platform;
  platform.displayGeometry = std::make_shared<FakeDisplayGeometry>(Rect{0, 0, kWidth, kHeight});
  platform.inputInjector = std::make_shared<FakeInputInjector>();
  platform.screenCapture = std::make_shared<FakeScreenCapture>(
      kWidth, kHeight, FakeScreenCapture::solid(kWidth, kHeight, 0x20, 0x40, 0xC0));
  platform.pasteboard = std::make_shared<FakePasteboard>();
  platform.workspace = std::make_shared<FakeWorkspace>();
  platform.windowList = std::make_shared<FakeWindowList>();
  platform.browserTabs = std::make_shared<FakeBrowserTabs>();
  platform.benchmarkSurfaces = std::make_shared<FakeBenchmarkSurfaces>();
  platform.systemInfo = std::make_shared<FakeSystemInfo>();
  platform.serviceAdvertiser = std::make_shared<FakeServiceAdvertiser>();
  platform.peerConnectionFactory = std::make_shared<FakePeerConnectionFactory>();
  platform.secureItemStore = std::make_shared<FakeSecureItemStore>();
  return platform;
}

}  // namespace tavolin
