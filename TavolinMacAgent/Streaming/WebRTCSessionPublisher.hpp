#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Pasteboard.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"
#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"
#include "TavolinMacAgent/Streaming/DirectChannelMessages.hpp"
#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/PublisherSignaling.hpp"
#include "TavolinMacAgent/Streaming/ScreenStreamQuality.hpp"
#include "TavolinMacAgent/Streaming/SessionPublisher.hpp"

namespace tavolin {

class WebRTCSessionPublisherError : public TavolinError {
 public:
  enum class Kind {
    peerConnectionUnavailable,
    senderUnavailable,
    displayUnavailable,
    remoteDescriptionUnavailable
  };
  explicit WebRTCSessionPublisherError(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Streams the screen of one session as a WebRTC video track and carries the session's data
// channels: it offers, answers the controller's signals, feeds captured frames to the track
// with per-frame telemetry, keeps the controller's clipboard in step and runs the commands that
// arrive over the channels. Frames go from the capture queue straight to the track, never
// through the main actor, and the clipboard is read on a queue of its own; everything else is
// main actor only.
class WebRTCSessionPublisher final : public SessionPublisher,
                                     public std::enable_shared_from_this<WebRTCSessionPublisher> {
 public:
  struct Dependencies {
    Executor mainExecutor;
    TavolinAPIClient api;
    std::string agentToken;
    RemoteSession session;
    std::shared_ptr<CommandExecutor> commandExecutor;
    std::shared_ptr<LowLatencyInputFastPath> lowLatencyInputFastPath;
    std::shared_ptr<PeerConnectionFactory> peerConnections;
    std::shared_ptr<ScreenCapture> screenCapture;
    std::shared_ptr<DisplayGeometry> displayGeometry;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<const Clock> clock;
    WebRTCTuning tuning;
  };

  // When live capture has delivered nothing this long after start, still images take over.
  static constexpr std::chrono::milliseconds snapshotFallbackDelay{850};
  // Telemetry waits while this much is still queued on its channel.
  static constexpr std::uint64_t telemetryBufferedLimit = 32768;

  static std::shared_ptr<WebRTCSessionPublisher> make(Dependencies dependencies);
  ~WebRTCSessionPublisher() override;

  void start() override;
  Awaitable<void> stop() override;

  ScreenStreamQuality quality() const { return quality_; }

 private:
  struct FrameSink;

  explicit WebRTCSessionPublisher(Dependencies dependencies);

  Awaitable<void> run();
  void createDataChannels();
  void watchChannel(const std::shared_ptr<DataChannel>& channel);
  LiveScreenCaptureSettings captureSettings() const;
  std::unique_ptr<LiveScreenCapture> makeCapture(std::string label);
  void startSnapshotFallbackTimer();
  void applyQuality(ScreenStreamQuality quality);
  VideoEncodingParameters encodingParameters() const;

  Awaitable<void> handleSignal(const TavolinSignal& signal);
  Awaitable<void> applyAnswer(const JSONObject& payload);
  void addRemoteCandidate(const JSONObject& payload);
  void postLocalCandidate(const IceCandidate& candidate);
  // Reads the clipboard on the clipboard queue and sends what changed (everything when
  // `forced`) on its channel.
  Awaitable<void> sendClipboard(bool forced);
  bool replyOnCommands(std::string_view text) const;

  Dependencies dependencies_;
  ScreenStreamQuality quality_;
  std::shared_ptr<PublisherSignaling> signaling_;
  DirectChannelMessages messages_;
  // One per channel that takes messages; each channel's observer shares its own.
  std::vector<std::shared_ptr<DirectChannelInbox>> inboxes_;
  ClipboardSync clipboard_;
  std::shared_ptr<FrameSink> frameSink_;

  std::shared_ptr<PeerConnection> peerConnection_;
  std::shared_ptr<DataChannel> telemetryChannel_, inputChannel_, commandsChannel_,
      clipboardChannel_;
  std::unique_ptr<LiveScreenCapture> capture_, snapshotFallback_;

  bool remoteDescriptionApplied_ = false;
  bool isApplyingRemoteAnswer_ = false;
  std::set<std::string> postedCandidateKeys_, appliedCandidateKeys_;
  std::vector<IceCandidate> pendingRemoteIceCandidates_;

  Task startTask_, clipboardTask_, fallbackTask_;
  bool started_ = false;
  bool stopped_ = false;

  // Where `clipboard_` reads the pasteboard: a read of text another application owns waits for
  // that application, up to two seconds. Only work of the clipboard runs here, in order, so
  // `clipboard_` needs no lock. Last, so that it is joined before `clipboard_` goes.
  SerialQueue clipboardQueue_{"app.tavolin.agent.webrtc.clipboard-poll"};
};

}  // namespace tavolin
