// The coordinator against the real control plane in process, on one io_context with a manual
// clock: each of the loop's sleeps moves the clock instead of waiting, so the timing rules are
// checked exactly and an hour of polling takes seconds. Bad answers come from a scripted server.
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "ControlPlaneServer/ControlPlaneServer.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinMacAgent/Coordinator/AgentCoordinator.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeBrowserTabs.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeScreenCapture.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeSystemInfo.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWindowList.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeWorkspace.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RecordingPublisher.hpp"
#include "tests/support/ScriptedHTTPServer.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::RecordingPublisher;
using testing::ScriptedHTTPServer;
using testing::ScriptedReply;
using Duration = AgentCoordinator::Duration;
using State = AgentConnectionState;

class AgentCoordinatorTest : public ::testing::Test {
 protected:
  // `baseURL` empty: the in-process control plane.
  void makeCoordinator(std::string baseURL = {}, bool nativeVideo = false) {
    if (baseURL.empty()) {
      if (!server_) {
        server_ = std::make_unique<ControlPlaneServer>(context.get_executor(), store, *clock,
                                                       ControlPlaneOptions{}, diagnostics,
                                                       ControlPlaneServer::Limits{});
        serverPort_ =
            server_->listen(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      }
      baseURL = "http://127.0.0.1:" + std::to_string(serverPort_);
    }
    auto systemInfo = std::make_shared<FakeSystemInfo>();
    SessionPublisherFactory publishers;
    const auto record = [this](TavolinVideoTransportMode transport) {
      return [this, transport](const SessionPublisherRequest& request) {
        auto publisher = std::make_shared<RecordingPublisher>();
        made.push_back({transport, request.session.id, publisher});
        return publisher;
      };
    };
    publishers.webRTC = record(TavolinVideoTransportMode::webRTC);
    if (nativeVideo) {
      publishers.nativeVideo = record(TavolinVideoTransportMode::nativeVideoToolbox);
      publishers.nativeVideoCodecs = {"h264"};
    }
    coordinator = AgentCoordinator::make(
        {.mainExecutor = context.get_executor(),
         // A small answer limit, so that an oversized answer is cheap to send.
         .api = TavolinAPIClient(baseURL, std::make_shared<HTTPClient>(
                                              HTTPClientOptions{.maxResponseBodyBytes = 1 << 20})),
         .tokenStore = tokens,
         .identity = std::make_shared<const DeviceIdentity>(DeviceIdentity::loadOrCreate(*tokens)),
         .snapshotProvider = std::make_shared<MacSnapshotProvider>(
             MacSnapshotProvider::Platform{.workspace = std::make_shared<FakeWorkspace>(),
                                           .windowList = std::make_shared<FakeWindowList>(),
                                           .browserTabs = std::make_shared<FakeBrowserTabs>(),
                                           .systemInfo = systemInfo,
                                           .screenCaptureAllowed = [] { return true; },
                                           .accessibilityTrusted = [] { return true; },
                                           .phoneHostModeEnabled = [] { return false; }}),
         .commandExecutor = std::make_shared<CommandExecutor>(tokens, *clock),
         .screenFrameProvider = std::make_shared<ScreenFrameProvider>(
             std::make_shared<FakeScreenCapture>(640, 360,
                                                 FakeScreenCapture::solid(640, 360, 0, 0, 255)),
             std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 1280, 720})),
         .systemInfo = systemInfo,
         .publishers = std::move(publishers),
         .clock = clock,
         .sleep = [this](Duration duration) -> Awaitable<void> {
           sleeps.push_back(duration);
           clock->advance(duration);
           co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
         }});
    coordinator->onStatusChange(
        [this](const AgentRuntimeStatus& status) { seen.push_back(status); });
  }

  // The server's connections refer to it until they end: run them out before it goes.
  ~AgentCoordinatorTest() override {
    if (coordinator) {
      coordinator->onStatusChange(nullptr);
      coordinator->emergencyStop();
    }
    if (server_)
      server_->stop();
    context.restart();
    for (int turn = 0; turn < 100 && !context.stopped(); ++turn)
      context.run_for(100ms);
  }

  // Runs the loop until `done` holds; false after a generous real-time limit.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      context.restart();
      context.run_for(2ms);
    }
    return true;
  }

  template <class Case>
  bool is() const {
    return coordinator->status().connection.as<Case>() != nullptr;
  }

  // An owner and a controller, then the coordinator started and its code approved.
  void enrol() {
    const auto owner = store.bootstrapOwner({.displayName = "Ada", .credentialLabel = "laptop"});
    ownerId = owner.owner.id;
    const auto controller =
        store.createController(ownerId, {.name = "Phone", .platform = "web", .publicKey = "PK"});
    controllerId = controller.controller.id;
    coordinator->start();
    ASSERT_TRUE(runUntil([&] { return is<State::Pairing>(); }));
    ApproveEnrollmentPayload approval;
    approval.code = coordinator->status().connection.as<State::Pairing>()->code;
    deviceId = store.approveEnrollment(ownerId, approval).id;
    ASSERT_TRUE(runUntil([&] { return is<State::Online>(); }));
  }

  RemoteSession createSession(const P256PrivateKey& key, JSONObject metadata = {}) {
    metadata.set("controllerPublicKey", base64URLEncode(key.publicKey().rawRepresentation()));
    CreateSessionPayload payload;
    payload.deviceId = deviceId;
    payload.transportMode = "webrtc";
    payload.metadata = std::move(metadata);
    return store.createSession(
        {.kind = TokenKind::controller, .subjectId = controllerId, .ownerId = ownerId}, payload);
  }

  RemoteSession session(const std::string& id) {
    return store.session(SessionParty::controller(controllerId), id);
  }

  struct MadePublisher {
    TavolinVideoTransportMode transport;
    std::string sessionId;
    std::shared_ptr<RecordingPublisher> publisher;
  };

  asio::io_context context;
  std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
  testing::TemporaryDirectory directory;
  ControlPlaneStore store{directory.path() / "cp.sqlite3", *clock};
  std::ostringstream diagnostics;
  std::shared_ptr<MemoryTokenStore> tokens = std::make_shared<MemoryTokenStore>();
  std::shared_ptr<AgentCoordinator> coordinator;
  std::vector<Duration> sleeps;
  std::vector<AgentRuntimeStatus> seen;
  std::vector<MadePublisher> made;
  std::string ownerId, controllerId, deviceId;

 private:
  std::unique_ptr<ControlPlaneServer> server_;
  std::uint16_t serverPort_ = 0;
};

std::size_t countOf(const std::vector<Duration>& sleeps, Duration duration) {
  return static_cast<std::size_t>(std::count(sleeps.begin(), sleeps.end(), duration));
}

TEST_F(AgentCoordinatorTest, Loop_EnrolsThenHeartbeatsEvery15SecondsAndPollsAtItsPace) {
  makeCoordinator();
  enrol();
  ASSERT_TRUE(tokens->read(TavolinTokenKey::agentToken).has_value());
  // Each enrolment poll waits 4 s; the approval came after the first.
  EXPECT_EQ(sleeps.front(), Duration(4s));
  EXPECT_EQ(coordinator->status().connection.as<State::Online>()->deviceName, "Desk");

  const Date firstHeartbeat = *coordinator->status().lastHeartbeatAt;
  sleeps.clear();
  ASSERT_TRUE(runUntil([&] { return clock->now() >= firstHeartbeat + 31s; }));
  EXPECT_EQ(countOf(sleeps, 250ms), sleeps.size()) << "idle polls wait 250 ms";
  EXPECT_EQ(coordinator->status().lastHeartbeatAt, firstHeartbeat + 30s);
  const auto device = store.device(ownerId, deviceId);
  EXPECT_EQ(device.device.lastSeenAt, TavolinISO8601::string(firstHeartbeat + 30s));
  ASSERT_TRUE(device.snapshot.has_value());

  // A restart with the token stored heartbeats at once, without a pairing code.
  coordinator->emergencyStop();
  seen.clear();
  makeCoordinator();
  coordinator->start();
  ASSERT_TRUE(runUntil([&] { return is<State::Online>(); }));
  EXPECT_TRUE(seen.front().connection.as<State::Online>());
  EXPECT_GT(*seen.front().lastHeartbeatAt, firstHeartbeat + 30s);
}

TEST_F(AgentCoordinatorTest, Enrolment_ExpiredStartsOverWithANewCode) {
  makeCoordinator();
  coordinator->start();
  ASSERT_TRUE(runUntil([&] { return is<State::Pairing>(); }));
  const std::string firstCode = coordinator->status().connection.as<State::Pairing>()->code;

  // Nothing of the agent's own expires the code: the control plane says when.
  clock->advance(ControlPlaneStore::enrollmentLifetime + 1s);
  ASSERT_TRUE(runUntil([&] { return is<State::Degraded>(); }));
  EXPECT_EQ(coordinator->status().connection.as<State::Degraded>()->message,
            "Enrollment is expired. Start pairing again.");
  EXPECT_EQ(coordinator->status().lastError, "Enrollment is expired. Start pairing again.");
  ASSERT_TRUE(runUntil([&] { return is<State::Pairing>(); }));
  EXPECT_EQ(countOf(sleeps, 5s), 1u);
  EXPECT_NE(coordinator->status().connection.as<State::Pairing>()->code, firstCode);
}

TEST_F(AgentCoordinatorTest, Sessions_AcceptTrustedKeepTheNewestAndUploadSealedFrames) {
  makeCoordinator();
  enrol();
  const P256PrivateKey controllerKey = P256PrivateKey::generate();
  const RemoteSession first = createSession(controllerKey, {{"requestedVideoTransport", " AUTO "}});
  ASSERT_TRUE(runUntil([&] { return made.size() == 1 && made[0].publisher->started; }));
  const RemoteSession accepted = session(first.id);
  EXPECT_EQ(accepted.status, "active");
  // Without a native path the session is told it gets WebRTC, whatever it asked for.
  EXPECT_EQ(*accepted.metadata.find("requestedVideoTransport"), JSONValue("auto"));
  EXPECT_EQ(*accepted.metadata.find("videoTransport"), JSONValue("webrtc"));
  EXPECT_EQ(*accepted.metadata.find("nativeVideoToolboxAvailable"), JSONValue(false));
  EXPECT_EQ(*accepted.metadata.find("nativeVideoCodecs"), JSONValue::strings({}));
  EXPECT_EQ(*accepted.metadata.find("screenFrameIntervalSeconds"), JSONValue(1));
  EXPECT_EQ(made[0].transport, TavolinVideoTransportMode::webRTC);

  ASSERT_TRUE(runUntil([&] { return coordinator->status().uploadedScreenFrames == 1; }));
  const ScreenFrame frame = store.latestScreenFrame(controllerId, first.id);
  const Bytes jpeg = TavolinSessionCrypto::decryptScreenFrame(
      *base64Decode(frame.imageBase64), controllerKey,
      *store.device(ownerId, deviceId).device.publicKey, first.id);
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(frame.width, 640);
  EXPECT_EQ(frame.displayWidth, 1280);

  // One frame a second, and 100 ms polls while a session is live.
  sleeps.clear();
  std::vector<Date> uploads;
  coordinator->onStatusChange([&](const AgentRuntimeStatus& status) {
    if (status.uploadedScreenFrames == 1)
      uploads.push_back(*status.lastScreenFrameUploadedAt);
  });
  ASSERT_TRUE(runUntil([&] { return uploads.size() >= 3; }));
  EXPECT_EQ(uploads[1] - uploads[0], 1s);
  EXPECT_EQ(uploads[2] - uploads[1], 1s);
  EXPECT_EQ(countOf(sleeps, 100ms), sleeps.size());
  coordinator->onStatusChange([this](const AgentRuntimeStatus& status) { seen.push_back(status); });

  // A newer session wins; the older one is ended and its publisher stopped.
  clock->advance(1s);
  const RemoteSession second = createSession(controllerKey);
  ASSERT_TRUE(runUntil([&] { return made.size() == 2 && made[0].publisher->stopped; }));
  EXPECT_EQ(made[1].sessionId, second.id);
  EXPECT_EQ(session(first.id).status, "ended");
  EXPECT_EQ(*session(first.id).metadata.find("endReason"),
            JSONValue("superseded_by_newer_session"));
  EXPECT_EQ(coordinator->webRTCStreamingSessions().size(), 1u);

  // A controller whose key changed is refused, and the user is told why.
  const RemoteSession impostor = createSession(P256PrivateKey::generate());
  ASSERT_TRUE(runUntil([&] { return session(impostor.id).status == "ended"; }));
  EXPECT_EQ(*session(impostor.id).metadata.find("endReason"),
            JSONValue("controller_public_key_mismatch"));
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const AgentRuntimeStatus& status) {
    const auto* degraded = status.connection.as<State::Degraded>();
    return degraded && degraded->message.starts_with("Security block: ");
  }));
  ASSERT_TRUE(runUntil([&] { return is<State::Online>(); }));
  EXPECT_EQ(made.size(), 2u);

  // The emergency stop ends the live session on the control plane and stops its publisher.
  coordinator->emergencyStop();
  EXPECT_TRUE(is<State::Stopped>());
  EXPECT_TRUE(coordinator->webRTCStreamingSessions().empty());
  ASSERT_TRUE(runUntil([&] { return session(second.id).status == "ended"; }));
  EXPECT_EQ(*session(second.id).metadata.find("endReason"), JSONValue("emergency_stop"));
  EXPECT_TRUE(made[1].publisher->stopped);
  coordinator->start();
  ASSERT_TRUE(runUntil([&] { return is<State::Online>(); }));
}

TEST_F(AgentCoordinatorTest, Sessions_NativeTransportWhenThisBuildServesIt) {
  makeCoordinator({}, /*nativeVideo=*/true);
  enrol();
  const P256PrivateKey controllerKey = P256PrivateKey::generate();
  const RemoteSession auto_ = createSession(controllerKey, {{"requestedVideoTransport", "auto"}});
  ASSERT_TRUE(runUntil([&] { return made.size() == 1; }));
  EXPECT_EQ(made[0].transport, TavolinVideoTransportMode::nativeVideoToolbox);
  const RemoteSession accepted = session(auto_.id);
  EXPECT_EQ(*accepted.metadata.find("videoTransport"), JSONValue("native_videotoolbox"));
  EXPECT_EQ(*accepted.metadata.find("nativeVideoCodecs"), JSONValue::strings({"h264"}));
  EXPECT_EQ(coordinator->nativeVideoStreamingSessions().size(), 1u);
  ASSERT_TRUE(
      runUntil([&] { return coordinator->status().activeNativeVideoToolboxSessions == 1; }));

  // A number is no request: WebRTC.
  clock->advance(1s);
  const RemoteSession numbered = createSession(controllerKey, {{"requestedVideoTransport", 5}});
  ASSERT_TRUE(runUntil([&] { return made.size() == 2 && made[0].publisher->stopped; }));
  EXPECT_EQ(made[1].transport, TavolinVideoTransportMode::webRTC);
  EXPECT_EQ(*session(numbered.id).metadata.find("requestedVideoTransport"), JSONValue("webrtc"));
}

TEST_F(AgentCoordinatorTest, Commands_ThirtyQueuedAreDoneTwentyFiveThenFiveInOrder) {
  makeCoordinator();
  enrol();
  const RemoteSession live = createSession(P256PrivateKey::generate());
  ASSERT_TRUE(runUntil([&] { return made.size() == 1; }));
  std::vector<int> claimed;
  coordinator->onStatusChange([&](const AgentRuntimeStatus& status) {
    if (status.pendingCommands > 0)
      claimed.push_back(status.pendingCommands);
  });
  std::vector<std::string> ids;
  for (int sequence = 1; sequence <= 30; ++sequence) {
    EnqueueCommandPayload payload;
    payload.type = "benchmark_noop";
    payload.payload = {{"sequence", sequence}};
    ids.push_back(store.enqueueCommand(controllerId, live.id, payload).id);
  }
  ASSERT_TRUE(runUntil([&] { return claimed.size() >= 2; }));
  EXPECT_EQ(claimed[0], 25);
  EXPECT_EQ(claimed[1], 5);
  for (int sequence = 1; sequence <= 30; ++sequence) {
    const RemoteCommand done = store.controllerCommand(controllerId, ids[sequence - 1]);
    EXPECT_EQ(done.status, "succeeded");
    ASSERT_TRUE(done.result.has_value());
    EXPECT_EQ(*done.result->find("sequence"), JSONValue(sequence));
  }
}

TEST_F(AgentCoordinatorTest, BadControlPlane_DegradesRetriesAfterFiveSecondsAndNeverBlocks) {
  ScriptedHTTPServer server;
  tokens->write("agent-token", TavolinTokenKey::agentToken);
  makeCoordinator(server.origin());
  Device device;
  device.id = "device_1";
  device.ownerId = "owner_1";
  device.name = "Desk";
  device.platform = "linux";
  device.status = "online";
  device.createdAt = device.updatedAt = "2026-01-31T09:15:02.000Z";
  const std::string deviceBody = encodeJSON(DeviceResponse{device});
  using Server = ScriptedHTTPServer;
  server.enqueue(ScriptedReply::bytes(Server::response(500, "boom")));
  server.enqueue(ScriptedReply::bytes(Server::response(200, deviceBody)));
  server.enqueue(ScriptedReply::bytes(Server::response(200, R"({"sessions":[{"id":)")));
  server.enqueue(ScriptedReply::bytes(Server::response(200, R"({"sessions":[{}]})")));
  server.enqueue(ScriptedReply::bytes(Server::response(200, std::string(3 << 20, '['))));
  const std::size_t never = server.makeGate();
  server.enqueue(
      {.pieces = {{.bytes = Server::response(200, R"({"sessions":[]})"), .afterGate = never}}});
  coordinator->start();

  // A failed heartbeat skips the poll of that pass and degrades with the HTTP failure.
  ASSERT_TRUE(runUntil([&] { return is<State::Degraded>(); }));
  EXPECT_EQ(coordinator->status().connection.as<State::Degraded>()->message, "HTTP 500: boom");
  ASSERT_TRUE(runUntil([&] { return server.requests().size() >= 3; }));
  const auto requests = server.requests();
  EXPECT_EQ(requests[0].requestLine(), "POST /v1/agent/heartbeat HTTP/1.1");
  EXPECT_EQ(requests[1].requestLine(), "POST /v1/agent/heartbeat HTTP/1.1");
  EXPECT_EQ(requests[2].requestLine(), "GET /v1/agent/sessions/pending HTTP/1.1");
  EXPECT_EQ(sleeps.front(), Duration(5s));

  // Truncated JSON, a record without its fields and an oversized answer each degrade the same way.
  ASSERT_TRUE(runUntil([&] { return server.requests().size() >= 6; }));
  std::vector<std::string> messages;
  for (std::size_t index = 1; index < seen.size(); ++index) {
    const auto* degraded = seen[index].connection.as<State::Degraded>();
    if (degraded && seen[index].connection != seen[index - 1].connection)
      messages.push_back(degraded->message);
  }
  ASSERT_EQ(messages.size(), 4u) << ::testing::PrintToString(messages);
  EXPECT_NE(messages[1].find("not valid JSON"), std::string::npos) << messages[1];
  EXPECT_NE(messages[2].find("id"), std::string::npos) << messages[2];
  EXPECT_NE(messages[3].find("limit"), std::string::npos) << messages[3];
  EXPECT_EQ(countOf(sleeps, 5s), 4u);

  // A server that stalls holds the loop, not the thread; the emergency stop ends the wait.
  bool otherWorkRan = false;
  asio::post(context, [&] { otherWorkRan = true; });
  ASSERT_TRUE(runUntil([&] { return otherWorkRan; }));
  EXPECT_FALSE(is<State::Online>());
  coordinator->emergencyStop();
  EXPECT_TRUE(is<State::Stopped>());
  server.openGate(never);
}

}  // namespace
}  // namespace tavolin
