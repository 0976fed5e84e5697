#pragma once

// A WebRTC peer connection as the streaming publishers use it: SDP offer and answer, trickled
// ICE candidates, data channels created in-band, a receive-only audio transceiver and one
// send-only H.264 video track fed with raw captured frames. Observer callbacks run on the
// library's own thread: keep them short and hop to your executor. Awaitable operations resume
// the awaiting coroutine on its own executor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Platform/Geometry.hpp"

namespace tavolin {

enum class SessionDescriptionType { offer, pranswer, answer, rollback };

struct SessionDescription {
  SessionDescriptionType type = SessionDescriptionType::offer;
  std::string sdp;
  bool operator==(const SessionDescription&) const = default;
};

struct IceCandidate {
  std::string candidate;
  std::optional<std::string> sdpMid;
  int sdpMLineIndex = 0;
  bool operator==(const IceCandidate&) const = default;
};

enum class DataChannelState { connecting, open, closing, closed };

enum class PeerConnectionState { connecting, connected, disconnected, failed, closed };

// Thrown by the awaitable operations; the description is the library's own text.
class PeerConnectionError : public TavolinError {
 public:
  using TavolinError::TavolinError;
};

class DataChannel {
 public:
  struct Observer {
    std::function<void(DataChannelState)> onStateChange;
    // Text messages arrive as their UTF-8 bytes with `binary` false.
    std::function<void(std::span<const std::uint8_t> data, bool binary)> onMessage;
  };

  virtual ~DataChannel() = default;

  virtual const std::string& label() const = 0;
  virtual bool ordered() const = 0;
  virtual std::optional<int> maxRetransmits() const = 0;
  virtual const std::string& protocol() const = 0;
  virtual DataChannelState state() const = 0;

  // False when the channel refuses the message (not open, empty, or larger than the 64 KiB a
  // message may have); sends never refuse for backlog, watch bufferedAmount() instead.
  // Thread-safe.
  virtual bool sendText(std::string_view text) = 0;
  virtual bool sendBinary(std::span<const std::uint8_t> data) = 0;
  // Bytes accepted by send but not yet handed to the transport.
  virtual std::uint64_t bufferedAmount() const = 0;

  // Replaces the observer; an empty one detaches. After it returns no call of the old observer
  // is running or will start.
  virtual void setObserver(Observer observer) = 0;
  virtual void close() = 0;
};

// One raw frame for the video track: I420 planes, BT.601 limited range, even width and height.
struct VideoFrame {
  PixelSize size;
  std::span<const std::uint8_t> y, u, v;
  int strideY = 0, strideU = 0, strideV = 0;
  std::uint64_t captureUptimeNs = 0;
};

// How the video track's encoder is driven; changeable while streaming. Bit rates in bit/s.
struct VideoEncodingParameters {
  std::int64_t minBitrate = 0;
  std::int64_t startBitrate = 0;
  std::int64_t maxBitrate = 0;
  int maxFramesPerSecond = 60;
  // Temporal layers of the encoding; none leaves the encoder's default.
  std::optional<int> temporalLayers;
  // Under pressure keep the frame rate (drop resolution) rather than the other way round.
  bool maintainFrameRate = false;
  bool operator==(const VideoEncodingParameters&) const = default;
};

struct PeerConnectionConfiguration {
  std::vector<TavolinICEServer> iceServers;
  // Names the video track and its stream; empty for a peer without video (a test peer, or a
  // publisher whose media goes elsewhere).
  std::string videoTrackId;
  std::string videoStreamId;
  // Stream id of the receive-only audio transceiver; empty for none.
  std::string receiveOnlyAudioStreamId;
};

class PeerConnection {
 public:
  struct Observer {
    std::function<void(const IceCandidate&)> onLocalCandidate;
    std::function<void(PeerConnectionState)> onStateChange;
    // A channel the remote peer created.
    std::function<void(std::shared_ptr<DataChannel>)> onDataChannel;
  };

  virtual ~PeerConnection() = default;

  // In-band channel with exactly these settings. Channels created before the first offer are
  // part of it. Throws PeerConnectionError once closed or when the library refuses the settings.
  virtual std::shared_ptr<DataChannel> createDataChannel(
      const TavolinDataChannelSettings& settings) = 0;

  virtual Awaitable<SessionDescription> createOffer() = 0;
  virtual Awaitable<SessionDescription> createAnswer() = 0;
  virtual Awaitable<void> setLocalDescription(SessionDescription description) = 0;
  virtual Awaitable<void> setRemoteDescription(SessionDescription description) = 0;
  virtual void addRemoteCandidate(const IceCandidate& candidate) = 0;

  // Feeds the video track; frames that arrive while the encoder is busy are dropped, newest
  // wins. Thread-safe.
  virtual void pushVideoFrame(const VideoFrame& frame) = 0;
  virtual void setVideoEncoding(const VideoEncodingParameters& parameters) = 0;
  virtual void requestKeyFrame() = 0;

  // Closes every channel and the transport; neither the observer nor a channel's observer is
  // called afterwards, and the channels read closed.
  virtual void close() = 0;
};

class PeerConnectionFactory {
 public:
  virtual ~PeerConnectionFactory() = default;
  // Throws PeerConnectionError when no peer connection can be made.
  virtual std::shared_ptr<PeerConnection> makePeerConnection(
      const PeerConnectionConfiguration& configuration, PeerConnection::Observer observer) = 0;
};

}  // namespace tavolin
