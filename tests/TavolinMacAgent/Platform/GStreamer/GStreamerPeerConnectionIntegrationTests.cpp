#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerPeerConnection.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

struct Message {
  std::string bytes;
  bool binary = false;
  bool operator==(const Message&) const = default;
};

// What one channel's observer saw, collected on the test's io_context.
struct ChannelLog {
  std::vector<DataChannelState> states;
  std::vector<Message> messages;

  bool reached(DataChannelState state) const {
    return std::find(states.begin(), states.end(), state) != states.end();
  }
};

struct Peer {
  std::shared_ptr<PeerConnection> connection;
  std::vector<PeerConnectionState> states;
  std::map<std::string, std::shared_ptr<DataChannel>> channels;
  std::map<std::string, ChannelLog> logs;
};

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t at = 0; at < size; ++at)
    bytes[at] = static_cast<std::uint8_t>(at * 7 + at / 251);
  return bytes;
}

std::string asString(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The m-line section of an SDP that starts with `prefix` ("m=video", ...), every line with its
// CRLF, or empty.
std::string mediaSection(const std::string& sdp, const std::string& prefix) {
  const auto start = sdp.find("\r\n" + prefix);
  if (start == std::string::npos)
    return {};
  const auto end = sdp.find("\r\nm=", start + 2);
  return sdp.substr(start + 2, end == std::string::npos ? std::string::npos : end - start);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Awaitable<std::pair<SessionDescription, SessionDescription>> negotiate(PeerConnection& offerer,
                                                                       PeerConnection& answerer) {
  SessionDescription offer = co_await offerer.createOffer();
  co_await offerer.setLocalDescription(offer);
  co_await answerer.setRemoteDescription(offer);
  SessionDescription answer = co_await answerer.createAnswer();
  co_await answerer.setLocalDescription(answer);
  co_await offerer.setRemoteDescription(answer);
  co_return std::make_pair(std::move(offer), std::move(answer));
}

class GStreamerPeerConnectionTest : public ::testing::Test {
 protected:
  // Runs the main context until `done` holds, feeding the offerer's video meanwhile; false when
  // the time runs out first.
  bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
      main_.run_for(20ms);
      pushFrame();
    }
    return true;
  }

  template <class T>
  T await(Awaitable<T> operation) {
    auto result = asio::co_spawn(main_, std::move(operation), asio::use_future);
    const bool finished =
        runUntil([&] { return result.wait_for(0s) == std::future_status::ready; });
    if (!finished)
      throw std::runtime_error("the operation did not finish in time");
    return result.get();
  }

  // A moving grey ramp, plus the malformed frames a careless capturer might hand over.
  void pushFrame() {
    if (!offerer_.connection)
      return;
    constexpr int width = 64;
    constexpr int height = 48;
    ++frameCount_;
    std::vector<std::uint8_t> y(width * height), u(width * height / 4, 128), v(u);
    for (int row = 0; row < height; ++row)
      for (int column = 0; column < width; ++column)
        y[row * width + column] =
            static_cast<std::uint8_t>(16 + (row + column + frameCount_) % 200);
    VideoFrame frame{{width, height}, y,         u,         v,
                     width,           width / 2, width / 2, monotonicUptimeNanoseconds()};
    offerer_.connection->pushVideoFrame(frame);

    VideoFrame odd = frame;
    odd.size = {width - 1, height};
    offerer_.connection->pushVideoFrame(odd);
    VideoFrame shortPlane = frame;
    shortPlane.v = std::span(v).first(v.size() - 1);
    offerer_.connection->pushVideoFrame(shortPlane);
    VideoFrame narrowStride = frame;
    narrowStride.strideY = width - 2;
    offerer_.connection->pushVideoFrame(narrowStride);
  }

  // Observers hop onto the main context; `closedSide` counts any call after that side closed.
  PeerConnection::Observer observe(Peer& self, Peer& other, std::atomic<bool>& closedSide) {
    return {
        .onLocalCandidate =
            [this, &other, &closedSide](const IceCandidate& candidate) {
              noteCall(closedSide);
              asio::post(main_, [&other, candidate] {
                if (other.connection)
                  other.connection->addRemoteCandidate(candidate);
              });
            },
        .onStateChange =
            [this, &self, &closedSide](PeerConnectionState state) {
              noteCall(closedSide);
              asio::post(main_, [&self, state] { self.states.push_back(state); });
            },
        .onDataChannel =
            [this, &self, &closedSide](std::shared_ptr<DataChannel> channel) {
              noteCall(closedSide);
              // Set here, on the announcing thread, so that no message can slip past.
              channel->setObserver(logInto(self, channel->label(), closedSide));
              asio::post(main_, [&self, channel] { self.channels[channel->label()] = channel; });
            },
    };
  }

  DataChannel::Observer logInto(Peer& peer, const std::string& label,
                                std::atomic<bool>& closedSide) {
    return {
        .onStateChange =
            [this, &peer, label, &closedSide](DataChannelState state) {
              noteCall(closedSide);
              asio::post(main_,
                         [&peer, label, state] { peer.logs[label].states.push_back(state); });
            },
        .onMessage =
            [this, &peer, label, &closedSide](std::span<const std::uint8_t> data, bool binary) {
              noteCall(closedSide);
              asio::post(main_, [&peer, label, message = Message{asString(data), binary}] {
                peer.logs[label].messages.push_back(message);
              });
            },
    };
  }

  void noteCall(const std::atomic<bool>& closedSide) {
    if (closedSide)
      ++callsAfterClose_;
  }

  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{main_.get_executor()};
  GStreamerPeerConnectionFactory factory_;
  Peer offerer_;
  Peer answerer_;
  std::atomic<bool> offererClosed_ = false;
  std::atomic<bool> answererClosed_ = false;
  std::atomic<int> callsAfterClose_ = 0;
  int frameCount_ = 0;

  void TearDown() override {
    for (Peer* peer : {&offerer_, &answerer_}) {
      if (peer->connection)
        peer->connection->close();
    }
  }
};

TEST_F(GStreamerPeerConnectionTest, TwoPeers_NegotiateChannelsVideoAndMessages) {
  std::vector<TavolinDataChannelSettings> settings(TavolinDataChannels::webRTC.begin(),
                                                   TavolinDataChannels::webRTC.end());
  settings.push_back(TavolinDataChannels::nativeVideo);

  offerer_.connection =
      factory_.makePeerConnection({.iceServers = {{.urls = {"turn:relay.invalid:3478"}}},
                                   .videoTrackId = "tavolin-screen-test",
                                   .videoStreamId = "tavolin-screen",
                                   .receiveOnlyAudioStreamId = "tavolin-phone-audio"},
                                  observe(offerer_, answerer_, offererClosed_));
  answerer_.connection =
      factory_.makePeerConnection({}, observe(answerer_, offerer_, answererClosed_));

  for (const auto& setting : settings) {
    const std::string label(setting.label);
    auto channel = offerer_.connection->createDataChannel(setting);
    channel->setObserver(logInto(offerer_, label, offererClosed_));
    // Read back from webrtcbin, not echoed from the request.
    EXPECT_EQ(channel->label(), label);
    EXPECT_EQ(channel->ordered(), setting.ordered) << label;
    EXPECT_EQ(channel->maxRetransmits(), setting.maxRetransmits) << label;
    EXPECT_EQ(channel->protocol(), setting.protocol) << label;
    EXPECT_EQ(channel->state(), DataChannelState::connecting) << label;
    EXPECT_FALSE(channel->sendText("too early")) << label;
    offerer_.channels[label] = channel;
  }

  const auto [offer, answer] = await(negotiate(*offerer_.connection, *answerer_.connection));
  EXPECT_EQ(offer.type, SessionDescriptionType::offer);
  EXPECT_EQ(answer.type, SessionDescriptionType::answer);
  const std::string video = mediaSection(offer.sdp, "m=video");
  EXPECT_TRUE(contains(video, "H264/90000")) << offer.sdp;
  EXPECT_TRUE(contains(video, "a=sendonly")) << offer.sdp;
  EXPECT_TRUE(contains(video, "a=msid:tavolin-screen tavolin-screen-test\r\n")) << offer.sdp;
  // Browsers show frames at once only when the sender asks for zero playout delay.
  EXPECT_TRUE(
      contains(video, "a=extmap:1 http://www.webrtc.org/experiments/rtp-hdrext/playout-delay\r\n"))
      << offer.sdp;
  EXPECT_TRUE(contains(mediaSection(offer.sdp, "m=audio"), "a=recvonly")) << offer.sdp;
  EXPECT_TRUE(contains(mediaSection(offer.sdp, "m=application"), "webrtc-datachannel"))
      << offer.sdp;
  EXPECT_TRUE(contains(mediaSection(answer.sdp, "m=video"), "a=recvonly")) << answer.sdp;

  const auto allOpen = [&] {
    if (answerer_.channels.size() != settings.size())
      return false;
    return std::all_of(settings.begin(), settings.end(), [&](const auto& setting) {
      return offerer_.logs[std::string(setting.label)].reached(DataChannelState::open);
    });
  };
  ASSERT_TRUE(runUntil(allOpen)) << answerer_.channels.size() << " channels announced";
  ASSERT_TRUE(runUntil([&] {
    return std::count(offerer_.states.begin(), offerer_.states.end(),
                      PeerConnectionState::connected) == 1 &&
           std::count(answerer_.states.begin(), answerer_.states.end(),
                      PeerConnectionState::connected) == 1;
  }));

  for (const auto& setting : settings) {
    const std::string label(setting.label);
    ASSERT_TRUE(answerer_.channels.contains(label)) << label;
    const auto& remote = *answerer_.channels[label];
    EXPECT_EQ(remote.ordered(), setting.ordered) << label;
    EXPECT_EQ(remote.maxRetransmits(), setting.maxRetransmits) << label;
    EXPECT_EQ(remote.protocol(), setting.protocol) << label;
    EXPECT_EQ(remote.state(), DataChannelState::open) << label;
    EXPECT_EQ(offerer_.channels[label]->state(), DataChannelState::open) << label;
  }

  // Both ways on the reliable, ordered command channel, up to the 64 KiB limit. Refused: more,
  // text with a NUL, and empty messages (which would stop the association), all without harm
  // to the channel.
  const std::string commands(TavolinDataChannelLabel::commands);
  auto& sending = *offerer_.channels[commands];
  auto& receiving = *answerer_.channels[commands];
  const auto largest = pattern(65536);
  const std::vector<std::uint8_t> small{0x00, 0x01, 0xfe, 0xff};
  EXPECT_TRUE(sending.sendText("{\"type\":\"ping\"}"));
  EXPECT_TRUE(sending.sendBinary(small));
  EXPECT_FALSE(sending.sendText(""));
  EXPECT_FALSE(sending.sendBinary({}));
  EXPECT_TRUE(sending.sendBinary(largest));
  EXPECT_FALSE(sending.sendBinary(pattern(70000)));
  EXPECT_FALSE(sending.sendText(std::string(70000, 'x')));
  EXPECT_FALSE(sending.sendText(std::string("cut\0short", 9)));
  EXPECT_EQ(sending.state(), DataChannelState::open);
  EXPECT_TRUE(sending.sendText("after the refusals"));
  EXPECT_TRUE(receiving.sendText("{\"type\":\"pong\"}"));
  EXPECT_TRUE(receiving.sendBinary(small));

  const std::vector<Message> expectedAtAnswerer{{"{\"type\":\"ping\"}", false},
                                                {asString(small), true},
                                                {asString(largest), true},
                                                {"after the refusals", false}};
  const std::vector<Message> expectedAtOfferer{{"{\"type\":\"pong\"}", false},
                                               {asString(small), true}};
  ASSERT_TRUE(runUntil([&] {
    return answerer_.logs[commands].messages.size() >= expectedAtAnswerer.size() &&
           offerer_.logs[commands].messages.size() >= expectedAtOfferer.size();
  }));
  EXPECT_EQ(answerer_.logs[commands].messages, expectedAtAnswerer);
  EXPECT_EQ(offerer_.logs[commands].messages, expectedAtOfferer);
  EXPECT_TRUE(runUntil([&] { return sending.bufferedAmount() == 0; }));

  // Re-rating and key-frame requests while the video streams.
  VideoEncodingParameters encoding;
  encoding.minBitrate = 300'000;
  encoding.startBitrate = 800'000;
  encoding.maxBitrate = 2'000'000;
  encoding.maxFramesPerSecond = 30;
  offerer_.connection->setVideoEncoding(encoding);
  offerer_.connection->requestKeyFrame();

  // A replaced observer is never called once setObserver has returned.
  std::atomic<bool> replaced = false;
  std::atomic<int> oldCallsAfterReplace = 0;
  receiving.setObserver(
      {.onStateChange = {}, .onMessage = [&](std::span<const std::uint8_t>, bool) {
         if (replaced)
           ++oldCallsAfterReplace;
       }});
  for (int index = 0; index < 50; ++index)
    sending.sendText("burst " + std::to_string(index));
  receiving.setObserver(logInto(answerer_, commands + ".replaced", answererClosed_));
  replaced = true;
  EXPECT_TRUE(sending.sendText("after the replacement"));
  ASSERT_TRUE(runUntil([&] {
    const auto& messages = answerer_.logs[commands + ".replaced"].messages;
    return !messages.empty() && messages.back().bytes == "after the replacement";
  }));
  EXPECT_EQ(oldCallsAfterReplace, 0);

  // Closing one channel closes it at the other end too.
  const std::string clipboard(TavolinDataChannelLabel::clipboard);
  offerer_.channels[clipboard]->close();
  ASSERT_TRUE(runUntil([&] {
    return offerer_.logs[clipboard].reached(DataChannelState::closed) &&
           answerer_.logs[clipboard].reached(DataChannelState::closed);
  }));
  EXPECT_TRUE(offerer_.logs[clipboard].reached(DataChannelState::closing));
  EXPECT_FALSE(offerer_.channels[clipboard]->sendText("closed"));

  // Closing the offerer silences it: channels read closed and no observer is called again,
  // while the answerer keeps sending at it.
  offerer_.connection->close();
  offererClosed_ = true;
  for (const auto& [label, channel] : offerer_.channels) {
    EXPECT_EQ(channel->state(), DataChannelState::closed) << label;
    EXPECT_FALSE(channel->sendText("after close")) << label;
  }
  receiving.sendText("to a closed peer");
  main_.run_for(200ms);
  EXPECT_EQ(callsAfterClose_, 0);
}

TEST_F(GStreamerPeerConnectionTest, BadDescriptionsAndClosing_ThrowPeerConnectionError) {
  offerer_.connection = factory_.makePeerConnection({}, {});
  auto& connection = *offerer_.connection;
  EXPECT_THROW(connection.createDataChannel({"negative", false, -1, ""}), PeerConnectionError);
  EXPECT_THROW(connection.createDataChannel({"huge", false, 65536, ""}), PeerConnectionError);
  connection.createDataChannel(TavolinDataChannels::commands);

  // An answer before any offer, and text that is no session description at all.
  EXPECT_THROW(await(connection.setRemoteDescription({SessionDescriptionType::answer, "v=0\r\n"})),
               PeerConnectionError);
  EXPECT_THROW(
      await(connection.setRemoteDescription({SessionDescriptionType::offer, "not a description"})),
      PeerConnectionError);

  // Operations still queued in webrtcbin when the connection closes each end one way or the
  // other, never hang; later ones throw at once.
  std::vector<std::future<SessionDescription>> pending;
  for (int index = 0; index < 16; ++index)
    pending.push_back(asio::co_spawn(main_, connection.createOffer(), asio::use_future));
  main_.poll();
  connection.close();
  ASSERT_TRUE(runUntil([&] {
    return std::all_of(pending.begin(), pending.end(),
                       [](auto& offer) { return offer.wait_for(0s) == std::future_status::ready; });
  }));
  for (auto& offer : pending) {
    try {
      EXPECT_TRUE(contains(offer.get().sdp, "m=application"));
    } catch (const PeerConnectionError&) {
      // Closed first.
    }
  }
  EXPECT_THROW(await(connection.createOffer()), PeerConnectionError);
  EXPECT_THROW(connection.createDataChannel(TavolinDataChannels::input), PeerConnectionError);
  connection.addRemoteCandidate({"candidate:1 1 UDP 2122252543 192.0.2.1 40000 typ host", "0", 0});
  connection.close();
}

TEST_F(GStreamerPeerConnectionTest, CloseOnAnObserverThread_LeavesTheJoinToTheTeardownQueue) {
  // Closing from webrtcbin's own thread, as an owner reacting to a callback might: bringing the
  // pipeline down there would join that very thread.
  std::weak_ptr<PeerConnection> weak;
  std::promise<void> closedThere;
  std::atomic<bool> first = true;
  PeerConnection::Observer observer;
  observer.onLocalCandidate = [&](const IceCandidate&) {
    if (!first.exchange(false))
      return;
    if (const auto connection = weak.lock())
      connection->close();
    closedThere.set_value();
  };
  offerer_.connection = factory_.makePeerConnection({}, std::move(observer));
  weak = offerer_.connection;
  auto& connection = *offerer_.connection;
  connection.createDataChannel(TavolinDataChannels::commands);
  const SessionDescription offer = await(connection.createOffer());
  try {
    await(connection.setLocalDescription(offer));
  } catch (const PeerConnectionError&) {
    // The first candidate came, and closed the connection, before the description was set.
  }

  auto closed = closedThere.get_future();
  ASSERT_TRUE(runUntil([&] { return closed.wait_for(0s) == std::future_status::ready; }));
  EXPECT_THROW(await(connection.createOffer()), PeerConnectionError);
}

}  // namespace
}  // namespace tavolin
