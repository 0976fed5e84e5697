#pragma once

// A local control plane in-process with fake platform pieces, a manual clock, an in-memory token
// store (which can be told to fail) holding the pairing code 12345678, and a controller key pair;
// driven request by request. Sessions that want video get recording publishers, or real ones
// from `makePublisher` when a test sets it.

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalNetworkControlPlane.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeScreenCapture.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeServiceAdvertiser.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSystemInfo.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWindowList.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWorkspace.hpp"
#include "tests/support/FlakyTokenStore.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RecordingPublisher.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin::testing {

class LocalNetworkControlPlaneTest : public ::testing::Test {
 protected:
  LocalNetworkControlPlaneTest() {
    tokenStore->write("12345678", TavolinTokenKey::localPairingCode);
    auditStore = std::make_shared<SecurityAuditStore>(
        context.get_executor(), directory.path() / "audit.json", *clock, diagnostics,
        SecurityAuditStore::Limits{500, 30});
    LocalNetworkControlPlane::Dependencies dependencies;
    dependencies.mainExecutor = context.get_executor();
    dependencies.tokenStore = tokenStore;
    dependencies.snapshotProvider = std::make_shared<MacSnapshotProvider>(
        MacSnapshotProvider::Platform{.workspace = std::make_shared<FakeWorkspace>(),
                                      .windowList = std::make_shared<FakeWindowList>(),
                                      .browserTabs = std::make_shared<FakeBrowserTabs>(),
                                      .systemInfo = systemInfo,
                                      .screenCaptureAllowed = [] { return true; },
                                      .accessibilityTrusted = [] { return true; },
                                      .phoneHostModeEnabled = [this] { return phoneHostMode; }});
    dependencies.commandExecutor = std::make_shared<CommandExecutor>(tokenStore, *clock);
    dependencies.screenFrameProvider = std::make_shared<ScreenFrameProvider>(
        capture, std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 1920, 1080}));
    dependencies.securityAuditStore = auditStore;
    dependencies.serviceAdvertiser = advertiser;
    dependencies.systemInfo = systemInfo;
    dependencies.clock = clock;
    dependencies.diagnostics = &diagnostics;
    dependencies.publisherFactory.webRTC =
        [this](const SessionPublisherRequest& request) -> std::shared_ptr<SessionPublisher> {
      publisherRequests.push_back(request);
      if (makePublisher)
        return makePublisher(request);
      auto publisher = std::make_shared<RecordingPublisher>();
      publishers.push_back(publisher);
      return publisher;
    };
    plane = std::make_unique<LocalNetworkControlPlane>(std::move(dependencies));
    plane->authenticator().localPairingCode();
  }

  LocalHTTPResponse send(std::string method, std::string path, std::string body = {},
                         std::map<std::string, std::string> headers = {},
                         std::string peer = "192.168.1.20:51234") {
    LocalHTTPRequest request;
    request.method = std::move(method);
    const auto question = path.find('?');
    if (question != std::string::npos) {
      const std::string query = path.substr(question + 1);
      const auto equals = query.find('=');
      request.query[query.substr(0, equals)] =
          equals == std::string::npos ? "" : query.substr(equals + 1);
      path.resize(question);
    }
    request.path = std::move(path);
    request.body = std::move(body);
    request.headers = std::move(headers);
    request.remotePeer = std::move(peer);
    return runAwaitable(plane->response(std::move(request)));
  }

  // Starts listening and lets the listener report ready; the work guard keeps the loop waiting
  // for the report from the listener's thread.
  void startPlane() {
    plane->start();
    auto guard = asio::make_work_guard(context);
    for (int i = 0; i < 100 && !plane->status().isRunning; ++i) {
      context.run_for(std::chrono::milliseconds(20));
    }
  }

  std::map<std::string, std::string> localAuth() const {
    return {{"authorization", "Bearer local.v1.12345678." + controllerPublicKey}};
  }

  template <class Record>
  static Record decoded(const LocalHTTPResponse& response) {
    return decodeJSON<Record>(response.body);
  }

  RemoteSession createSession(JSONObject metadata = {}) {
    CreateSessionPayload payload{"any", "hybrid", std::move(metadata)};
    const auto response =
        send("POST", "/v1/controllers/sessions", encodeJSON(payload), localAuth());
    EXPECT_EQ(response.statusCode, 201) << response.body;
    return decoded<SessionResponse>(response).session;
  }

  asio::io_context context;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<FlakyTokenStore> tokenStore = std::make_shared<FlakyTokenStore>();
  std::shared_ptr<FakeSystemInfo> systemInfo = std::make_shared<FakeSystemInfo>();
  std::shared_ptr<FakeServiceAdvertiser> advertiser = std::make_shared<FakeServiceAdvertiser>();
  std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>(
      1920, 1080, FakeScreenCapture::solid(1920, 1080, 0x20, 0x40, 0xC0));
  TemporaryDirectory directory;
  std::ostringstream diagnostics;
  std::shared_ptr<SecurityAuditStore> auditStore;
  std::vector<SessionPublisherRequest> publisherRequests;
  std::function<std::shared_ptr<SessionPublisher>(const SessionPublisherRequest&)> makePublisher;
  std::vector<std::shared_ptr<RecordingPublisher>> publishers;
  std::unique_ptr<LocalNetworkControlPlane> plane;
  // The phone host switch as the routes read it, request by request.
  bool phoneHostMode = true;

  P256PrivateKey controllerKey = P256PrivateKey::generate();
  std::string controllerPublicKey = base64URLEncode(controllerKey.publicKey().rawRepresentation());
};

}  // namespace tavolin::testing
