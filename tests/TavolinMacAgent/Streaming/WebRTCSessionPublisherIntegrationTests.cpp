// The publisher against the real local plane over loopback HTTP, on a fake peer connection.
#include <chrono>
#include <future>
#include <utility>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Fake/FakePasteboard.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePeerConnection.hpp"
#include "TavolinMacAgent/Streaming/WebRTCSessionPublisher.hpp"
#include "tests/TavolinMacAgent/LocalNetwork/LocalNetworkControlPlaneFixture.hpp"
#include "tests/support/TestHTTP.hpp"

namespace tavolin {
namespace {

// A WebRTC publisher started by the local control plane for a "webrtc" session, talking to the
// plane's agent routes over loopback, on a fake peer connection.
class WebRTCSessionPublisherTest : public testing::LocalNetworkControlPlaneTest {
 protected:
  WebRTCSessionPublisherTest() {
    pasteboard->setString("copied before the session");
    makePublisher = [this](const SessionPublisherRequest& request) {
      auto publisher = WebRTCSessionPublisher::make(
          {.mainExecutor = context.get_executor(),
           .api = TavolinAPIClient(request.apiBaseURL, std::make_shared<HTTPClient>()),
           .agentToken = request.agentToken,
           .session = request.session,
           .commandExecutor = commandExecutor,
           .lowLatencyInputFastPath = nullptr,
           .peerConnections = peerConnections,
           .screenCapture = capture,
           .displayGeometry = std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 1920, 1080}),
           .pasteboard = pasteboard,
           .clock = clock,
           .tuning = WebRTCTuning::fromEnvironment({})});
      webRTCPublishers.push_back(publisher);
      return publisher;
    };
  }

  // Runs the main loop until `done` holds (bounded, so a broken publisher fails instead of
  // hanging).
  template <class Condition>
  bool runUntil(Condition done) {
    context.restart();
    for (int i = 0; i < 250 && !done(); ++i)
      context.run_for(std::chrono::milliseconds(20));
    return done();
  }

  std::vector<TavolinSignal> agentSignals(const std::string& sessionId) {
    return decoded<SignalsResponse>(
               send("GET", "/v1/controllers/sessions/" + sessionId + "/signals", {}, localAuth()))
        .signals;
  }

  std::optional<TavolinSignal> agentSignal(const std::string& sessionId, std::string_view type) {
    for (auto& signal : agentSignals(sessionId)) {
      if (signal.type == type)
        return signal;
    }
    return std::nullopt;
  }

  void controllerSignal(const std::string& sessionId, std::string type, JSONObject payload) {
    EXPECT_EQ(send("POST", "/v1/controllers/sessions/" + sessionId + "/signals",
                   encodeJSON(SignalPayload{std::move(type), std::move(payload)}), localAuth())
                  .statusCode,
              201);
  }

  std::shared_ptr<FakePeerConnectionFactory> peerConnections =
      std::make_shared<FakePeerConnectionFactory>();
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::shared_ptr<CommandExecutor> commandExecutor =
      std::make_shared<CommandExecutor>(tokenStore, *clock);
  std::vector<std::shared_ptr<WebRTCSessionPublisher>> webRTCPublishers;
};

TEST_F(WebRTCSessionPublisherTest, OffersWithItsChannelsThenAppliesAnswerAndCandidatesInOrder) {
  startPlane();
  const auto session = createSession({{"quality", "720p"}});
  ASSERT_TRUE(runUntil([&] { return agentSignal(session.id, "offer").has_value(); }));
  const auto offer = *agentSignal(session.id, "offer");
  EXPECT_EQ(*offer.payload.find("sdp")->string(), "v=0 fake offer");
  EXPECT_EQ(*offer.payload.find("role")->string(), "screen-share-offer");

  ASSERT_EQ(peerConnections->made.size(), 1u);
  const auto peer = peerConnections->made[0];
  EXPECT_EQ(peer->configuration.videoStreamId, "tavolin-screen");
  EXPECT_TRUE(peer->configuration.videoTrackId.starts_with("tavolin-screen-"));
  EXPECT_EQ(peer->configuration.receiveOnlyAudioStreamId, "tavolin-phone-audio");
  ASSERT_EQ(peer->channels().size(), 4u);
  for (const auto& settings : TavolinDataChannels::webRTC) {
    const auto channel = peer->channel(settings.label);
    ASSERT_TRUE(channel) << settings.label;
    EXPECT_EQ(channel->ordered(), settings.ordered);
    EXPECT_EQ(channel->maxRetransmits(), settings.maxRetransmits);
  }
  ASSERT_FALSE(peer->encodings().empty());
  EXPECT_EQ(peer->encodings().back().maxBitrate, 10'000'000);

  // A candidate before the answer waits for it, and a repeated one is applied once.
  const JSONObject candidate{{"candidate", "candidate:1 1 udp 1 192.168.1.20 5000 typ host"},
                             {"sdpMid", "0"},
                             {"sdpMLineIndex", 0.0}};
  controllerSignal(session.id, "ice", candidate);
  controllerSignal(session.id, "ice", candidate);
  controllerSignal(session.id, "answer", {{"sdp", "v=0 answer"}, {"type", "ANSWER"}});
  ASSERT_TRUE(runUntil([&] { return agentSignal(session.id, "connected").has_value(); }));
  EXPECT_EQ(peer->remoteDescription()->type, SessionDescriptionType::answer);
  ASSERT_EQ(peer->remoteCandidates().size(), 1u);
  EXPECT_TRUE(peer->remoteCandidates()[0].afterRemoteDescription);
  EXPECT_EQ(*agentSignal(session.id, "connected")->payload.find("phase")->string(),
            "answer_applied");

  controllerSignal(session.id, "quality", {{"quality", "1080p"}});
  ASSERT_TRUE(runUntil([&] { return peer->encodings().back().maxBitrate == 20'000'000; }));
  ASSERT_TRUE(runUntil([&] { return peer->lastFrameSize() == PixelSize{1920, 1080}; }));
}

TEST_F(WebRTCSessionPublisherTest, ChannelsCarryFramesTelemetryClipboardAndPings) {
  startPlane();
  const auto session = createSession({{"quality", "720p"}});
  ASSERT_TRUE(runUntil([&] { return !peerConnections->made.empty(); }));
  const auto peer = peerConnections->made[0];
  ASSERT_TRUE(runUntil([&] { return peer->channels().size() == 4; }));
  ASSERT_TRUE(runUntil([&] { return peer->framesPushed() > 0; }));
  EXPECT_EQ(peer->lastFrameSize(), (PixelSize{1280, 720}));

  const auto telemetry = peer->channel(TavolinDataChannelLabel::telemetry);
  telemetry->setState(DataChannelState::open);
  ASSERT_TRUE(runUntil([&] { return !telemetry->sentTexts().empty(); }));
  const auto frame = decodeJSON<TavolinFrameTelemetryMessage>(telemetry->sentTexts().front());
  EXPECT_EQ(frame.sessionId, session.id);
  EXPECT_EQ(frame.quality, "720p");
  EXPECT_EQ(frame.width, 1280);

  // Opening the clipboard channel sends the clipboard at once; a later copy follows.
  const auto clipboard = peer->channel(TavolinDataChannelLabel::clipboard);
  clipboard->setState(DataChannelState::open);
  ASSERT_TRUE(runUntil([&] { return clipboard->sentTexts().size() == 1; }));
  EXPECT_EQ(decodeJSON<ClipboardDataChannelMessage>(clipboard->sentTexts()[0]).text,
            "copied before the session");
  pasteboard->setString("copied during the session");
  ASSERT_TRUE(runUntil([&] { return clipboard->sentTexts().size() == 2; }));

  const auto commands = peer->channel(TavolinDataChannelLabel::commands);
  commands->setState(DataChannelState::open);
  commands->receive(R"({"type":"ping","pingId":"p1","sessionId":")" + session.id +
                    R"(","sentAt":"t"})");
  ASSERT_TRUE(runUntil([&] { return !commands->sentTexts().empty(); }));
  EXPECT_EQ(decodeJSON<TavolinDirectPongMessage>(commands->sentTexts()[0]).pingId, "p1");
  // Every message lets go of exactly the references it took: a publisher streaming for long
  // outlives any number of pings.
  ASSERT_EQ(webRTCPublishers.size(), 1u);
  const long owners = webRTCPublishers[0].use_count();
  for (int i = 0; i < 5; ++i) {
    commands->receive(R"({"type":"ping","pingId":"q)" + std::to_string(i) + R"(","sessionId":")" +
                      session.id + R"(","sentAt":"t"})");
  }
  ASSERT_TRUE(runUntil([&] { return commands->sentTexts().size() == 6; }));
  EXPECT_TRUE(runUntil([&] { return webRTCPublishers[0].use_count() == owners; }))
      << webRTCPublishers[0].use_count() << " owners, " << owners << " before the pings";

  // Ending the session stops the publisher: everything closed, the controller told.
  EXPECT_EQ(send("POST", "/v1/controllers/sessions/" + session.id + "/end", R"({"reason":"done"})",
                 localAuth())
                .statusCode,
            200);
  ASSERT_TRUE(runUntil([&] { return agentSignal(session.id, "disconnected").has_value(); }));
  EXPECT_TRUE(peer->isClosed());
  EXPECT_EQ(commands->state(), DataChannelState::closed);
  EXPECT_EQ(*agentSignal(session.id, "disconnected")->payload.find("reason")->string(),
            "publisher_stopped");
}

TEST_F(WebRTCSessionPublisherTest, SlowClipboardRead_DoesNotHoldUpTheLocalRoutes) {
  using namespace std::chrono_literals;
  startPlane();
  ASSERT_TRUE(plane->status().port);
  const std::uint16_t port = *plane->status().port;
  createSession();
  ASSERT_TRUE(runUntil([&] { return !peerConnections->made.empty(); }));
  const auto peer = peerConnections->made[0];
  ASSERT_TRUE(runUntil([&] { return peer->channels().size() == 4; }));

  // Another application owns the clipboard and does not answer: a read waits its 2 s out. The
  // channel opening reads at once.
  pasteboard->holdReads(2s);
  const auto clipboard = peer->channel(TavolinDataChannelLabel::clipboard);
  clipboard->setState(DataChannelState::open);

  // A controller asks the local server meanwhile, over a socket the main loop serves.
  auto answer = std::async(std::launch::async, [port] {
    const auto sent = std::chrono::steady_clock::now();
    const auto result = testing::httpRequest(port, "GET", "/v1/local/device");
    return std::pair(result.status, std::chrono::steady_clock::now() - sent);
  });
  ASSERT_TRUE(runUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }));
  const auto [status, took] = answer.get();
  EXPECT_EQ(status, 200);
  EXPECT_LT(took, 1s);
  EXPECT_TRUE(clipboard->sentTexts().empty()) << "the answer waited for the clipboard";
  EXPECT_TRUE(runUntil([&] { return pasteboard->readsWaiting() == 1; }));

  pasteboard->releaseReads();
  ASSERT_TRUE(runUntil([&] { return clipboard->sentTexts().size() == 1; }));
  EXPECT_EQ(decodeJSON<ClipboardDataChannelMessage>(clipboard->sentTexts()[0]).text,
            "copied before the session");
}

TEST_F(WebRTCSessionPublisherTest, StartFailureIsReportedToTheController) {
  peerConnections->unavailable = true;
  startPlane();
  const auto session = createSession();
  ASSERT_TRUE(runUntil([&] { return agentSignal(session.id, "error").has_value(); }));
  const auto error = *agentSignal(session.id, "error");
  EXPECT_EQ(*error.payload.find("phase")->string(), "mac_webrtc_start");
  EXPECT_EQ(*error.payload.find("message")->string(), "WebRTC could not create a peer connection.");
}

}  // namespace
}  // namespace tavolin
