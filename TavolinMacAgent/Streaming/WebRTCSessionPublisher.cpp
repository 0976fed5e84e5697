#include "TavolinMacAgent/Streaming/WebRTCSessionPublisher.hpp"

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"
#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kStartPhase = "mac_webrtc_start";

std::string_view messageOf(WebRTCSessionPublisherError::Kind kind) {
  using Kind = WebRTCSessionPublisherError::Kind;
  switch (kind) {
    case Kind::peerConnectionUnavailable:
      return "WebRTC could not create a peer connection.";
    case Kind::senderUnavailable:
      return "WebRTC could not add the screen video sender.";
    case Kind::displayUnavailable:
      return "ScreenCaptureKit did not expose an active display.";
    case Kind::remoteDescriptionUnavailable:
      return "WebRTC did not commit the iPhone answer.";
  }
  return "";
}

const std::string* stringEntry(const JSONObject& object, std::string_view key) {
  const JSONValue* value = object.find(key);
  return value ? value->string() : nullptr;
}

std::string candidateKey(const IceCandidate& candidate) {
  return candidate.sdpMid.value_or("_") + "|" + std::to_string(candidate.sdpMLineIndex) + "|" +
         candidate.candidate;
}

SessionDescriptionType descriptionType(const JSONObject& payload) {
  const std::string* named = stringEntry(payload, "sdpType");
  if (named == nullptr)
    named = stringEntry(payload, "type");
  const std::string type = named ? asciiLowercased(*named) : "";
  if (type == "offer")
    return SessionDescriptionType::offer;
  if (type == "pranswer")
    return SessionDescriptionType::pranswer;
  if (type == "rollback")
    return SessionDescriptionType::rollback;
  return SessionDescriptionType::answer;
}

bool isOpen(const std::shared_ptr<DataChannel>& channel) {
  return channel && channel->state() == DataChannelState::open;
}

}  // namespace

WebRTCSessionPublisherError::WebRTCSessionPublisherError(Kind kind)
    : TavolinError(std::string(messageOf(kind))), kind_(kind) {}

// The capture-queue side: frames to the track and telemetry to its channel, without a hop to
// the main actor. Shared by the live capture and the snapshot fallback.
struct WebRTCSessionPublisher::FrameSink {
  std::string sessionId;
  std::uint64_t minimumTelemetryIntervalNs = 0;
  std::shared_ptr<const Clock> clock;
  std::shared_ptr<PeerConnection> peerConnection;
  std::shared_ptr<DataChannel> telemetry;
  std::atomic<bool> delivered{false};

  std::mutex mutex;
  std::string quality;
  std::optional<std::uint64_t> lastTelemetryUptimeNs;

  void deliver(const LiveScreenFrame& frame) {
    peerConnection->pushVideoFrame(VideoFrame{.size = frame.size,
                                              .y = planeBytes(frame, 0),
                                              .u = planeBytes(frame, 1),
                                              .v = planeBytes(frame, 2),
                                              .strideY = frame.stride(0),
                                              .strideU = frame.stride(1),
                                              .strideV = frame.stride(2),
                                              .captureUptimeNs = frame.clock.uptimeNs});
    delivered = true;
    if (!isOpen(telemetry) || telemetry->bufferedAmount() >= telemetryBufferedLimit)
      return;
    std::string qualityName;
    {
      std::lock_guard lock(mutex);
      if (lastTelemetryUptimeNs &&
          frame.clock.uptimeNs < *lastTelemetryUptimeNs + minimumTelemetryIntervalNs) {
        return;
      }
      lastTelemetryUptimeNs = frame.clock.uptimeNs;
      qualityName = quality;
    }
    telemetry->sendText(encodeJSON(TavolinFrameTelemetryMessage{
        .sessionId = sessionId,
        .frameId = frame.frameId,
        .frameTimestampNs = static_cast<std::int64_t>(frame.clock.uptimeNs),
        .captureUptimeNs = frame.clock.uptimeNs,
        .width = frame.size.width,
        .height = frame.size.height,
        .quality = std::move(qualityName),
        .capturedAt = TavolinISO8601::string(frame.clock.date),
        .sentAt = TavolinISO8601::string(clock->now())}));
  }

  static std::span<const std::uint8_t> planeBytes(const LiveScreenFrame& frame, int index) {
    const int rows = index == 0 ? frame.size.height : (frame.size.height + 1) / 2;
    return {frame.plane(index), static_cast<std::size_t>(frame.stride(index)) * rows};
  }
};

std::shared_ptr<WebRTCSessionPublisher> WebRTCSessionPublisher::make(Dependencies dependencies) {
  return std::shared_ptr<WebRTCSessionPublisher>(
      new WebRTCSessionPublisher(std::move(dependencies)));
}

WebRTCSessionPublisher::WebRTCSessionPublisher(Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      quality_(ScreenStreamQualities::fromMetadataValue([&]() -> std::optional<std::string_view> {
        const std::string* quality = stringEntry(dependencies_.session.metadata, "quality");
        return quality ? std::optional<std::string_view>(*quality) : std::nullopt;
      }())),
      signaling_(PublisherSignaling::make(dependencies_.mainExecutor, dependencies_.api,
                                          dependencies_.agentToken, dependencies_.session.id,
                                          "mac_webrtc_signal_poll")),
      messages_(dependencies_.session.id, dependencies_.commandExecutor, dependencies_.clock,
                "webrtc_data_channel"),
      clipboard_(dependencies_.pasteboard, dependencies_.clock),
      frameSink_(std::make_shared<FrameSink>()) {
  frameSink_->sessionId = dependencies_.session.id;
  frameSink_->minimumTelemetryIntervalNs = dependencies_.tuning.minimumTelemetryIntervalNs;
  frameSink_->clock = dependencies_.clock;
  frameSink_->quality = ScreenStreamQualities::rawValue(quality_);
}

WebRTCSessionPublisher::~WebRTCSessionPublisher() {
  // stop() normally ran; joining the capture threads here keeps a dropped publisher safe.
  if (capture_)
    capture_->stop();
  if (snapshotFallback_)
    snapshotFallback_->stop();
}

void WebRTCSessionPublisher::start() {
  if (started_)
    return;
  started_ = true;
  auto self = shared_from_this();
  startTask_ = Task::spawn(
      dependencies_.mainExecutor, "webrtc-publisher-start", [self]() -> Awaitable<void> {
        try {
          co_await self->run();
        } catch (const std::exception& error) {
          if (isCancellation(error))
            throw;
          self->signaling_->post("error", {{"phase", std::string(kStartPhase)},
                                           {"message", CommandResults::errorDescription(error)}});
        }
      });
}

Awaitable<void> WebRTCSessionPublisher::run() {
  const auto& session = dependencies_.session;
  const TransportConfigResponse transport =
      co_await dependencies_.api.agentTransportConfig(dependencies_.agentToken, session.id);
  if (stopped_)
    co_return;

  const auto display = dependencies_.displayGeometry->mainDisplayPixelSize();
  if (!display)
    throw WebRTCSessionPublisherError(WebRTCSessionPublisherError::Kind::displayUnavailable);

  PeerConnectionConfiguration configuration;
  configuration.iceServers = TavolinConnectionPolicies::filteredIceServers(transport.iceServers);
  configuration.videoTrackId = makeIdentifier("tavolin-screen-");
  configuration.videoStreamId = "tavolin-screen";
  configuration.receiveOnlyAudioStreamId = "tavolin-phone-audio";
  const std::weak_ptr<WebRTCSessionPublisher> weak = weak_from_this();
  const Executor main = dependencies_.mainExecutor;
  PeerConnection::Observer observer;
  observer.onLocalCandidate = [weak, main](const IceCandidate& candidate) {
    asio::post(main, [weak, candidate] {
      if (const auto self = weak.lock())
        self->postLocalCandidate(candidate);
    });
  };
  try {
    peerConnection_ =
        dependencies_.peerConnections->makePeerConnection(configuration, std::move(observer));
  } catch (const PeerConnectionError&) {
    throw WebRTCSessionPublisherError(WebRTCSessionPublisherError::Kind::peerConnectionUnavailable);
  }
  if (!peerConnection_)
    throw WebRTCSessionPublisherError(WebRTCSessionPublisherError::Kind::senderUnavailable);
  peerConnection_->setVideoEncoding(encodingParameters());

  createDataChannels();
  frameSink_->peerConnection = peerConnection_;
  frameSink_->telemetry = telemetryChannel_;
  capture_ = makeCapture("app.tavolin.agent.screen-capture");
  capture_->start();
  startSnapshotFallbackTimer();

  const SessionDescription offer = co_await peerConnection_->createOffer();
  co_await peerConnection_->setLocalDescription(offer);
  // Built outside the await: GCC 12 miscompiles braced temporaries in co_await operands.
  JSONObject offerPayload{{"sdp", offer.sdp}, {"sdpType", "offer"}, {"role", "screen-share-offer"}};
  co_await signaling_->send("offer", std::move(offerPayload));
  if (stopped_)
    co_return;

  // The signalling belongs to the publisher: its handler must not own the publisher in turn.
  signaling_->start([weak = weak_from_this()](const TavolinSignal& signal) -> Awaitable<void> {
    if (const auto self = weak.lock())
      co_await self->handleSignal(signal);
  });
  auto self = shared_from_this();
  // One poll at a time: the next starts an interval after the last read returned, however long
  // that read took.
  clipboardTask_ = Task::spawn(dependencies_.mainExecutor, "webrtc-publisher-clipboard",
                               [self]() -> Awaitable<void> {
                                 for (;;) {
                                   co_await self->sendClipboard(false);
                                   co_await sleepFor(ClipboardSync::interval);
                                 }
                               });
}

void WebRTCSessionPublisher::createDataChannels() {
  telemetryChannel_ = peerConnection_->createDataChannel(TavolinDataChannels::telemetry);
  inputChannel_ = peerConnection_->createDataChannel(TavolinDataChannels::input);
  commandsChannel_ = peerConnection_->createDataChannel(TavolinDataChannels::commands);
  clipboardChannel_ = peerConnection_->createDataChannel(TavolinDataChannels::clipboard);
  watchChannel(inputChannel_);
  watchChannel(commandsChannel_);
  watchChannel(clipboardChannel_);
}

void WebRTCSessionPublisher::watchChannel(const std::shared_ptr<DataChannel>& channel) {
  if (!channel)
    return;
  const std::weak_ptr<WebRTCSessionPublisher> weak = weak_from_this();
  const Executor main = dependencies_.mainExecutor;
  const bool isInput = channel->label() == TavolinDataChannelLabel::input;
  const bool isClipboard = channel->label() == TavolinDataChannelLabel::clipboard;
  DataChannel::Observer observer;
  if (isClipboard) {
    observer.onStateChange = [weak, main](DataChannelState state) {
      if (state != DataChannelState::open)
        return;
      Task::spawn(main, "webrtc-publisher-clipboard-open", [weak]() -> Awaitable<void> {
        if (const auto self = weak.lock())
          co_await self->sendClipboard(true);
      });
    };
  } else {
    auto inbox = std::make_shared<DirectChannelInbox>(
        main, "webrtc-publisher-messages",
        [weak](std::vector<std::uint8_t> message) -> Awaitable<void> {
          const auto self = weak.lock();
          if (!self || self->stopped_)
            co_return;
          // Built outside the await: GCC 12 releases a temporary made in a co_await operand
          // once too often, and this one holds the publisher.
          DirectChannelMessages::Reply reply = [self](std::string_view text) {
            return self->replyOnCommands(text);
          };
          co_await self->messages_.handle(message, std::move(reply));
        });
    inboxes_.push_back(inbox);
    auto fastPath = dependencies_.lowLatencyInputFastPath;
    observer.onMessage = [inbox, isInput, fastPath](std::span<const std::uint8_t> data,
                                                    bool binary) {
      if (binary)
        return;
      const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
      if (isInput && fastPath && fastPath->enqueueIfSupported(text))
        return;
      inbox->push(data);
    };
  }
  channel->setObserver(std::move(observer));
}

LiveScreenCaptureSettings WebRTCSessionPublisher::captureSettings() const {
  LiveScreenCaptureSettings settings;
  settings.framesPerSecond = dependencies_.tuning.targetFramesPerSecond;
  settings.targetSize = [quality = quality_](PixelSize display) {
    return ScreenStreamQualities::captureSize(quality, display);
  };
  settings.pixelFormat = LiveScreenPixelFormat::i420;
  return settings;
}

std::unique_ptr<LiveScreenCapture> WebRTCSessionPublisher::makeCapture(std::string label) {
  LiveScreenCaptureSettings settings = captureSettings();
  // The callback runs on the capture's queue, which stop() joins before the capture goes, so
  // the pointer it reads is valid whenever it runs.
  auto current = std::make_shared<std::atomic<LiveScreenCapture*>>(nullptr);
  auto capture = std::make_unique<LiveScreenCapture>(
      dependencies_.screenCapture, std::move(settings), dependencies_.tuning.captureQueueDepth,
      [current, sink = std::weak_ptr<FrameSink>(frameSink_)] {
        LiveScreenCapture* capture = current->load();
        const auto target = sink.lock();
        if (capture == nullptr || !target)
          return;
        while (const auto frame = capture->takeFrame())
          target->deliver(*frame);
      },
      std::move(label), dependencies_.clock);
  current->store(capture.get());
  return capture;
}

void WebRTCSessionPublisher::startSnapshotFallbackTimer() {
  auto self = shared_from_this();
  fallbackTask_ = Task::spawn(
      dependencies_.mainExecutor, "webrtc-publisher-fallback", [self]() -> Awaitable<void> {
        co_await sleepFor(snapshotFallbackDelay);
        if (self->stopped_ || self->frameSink_->delivered || self->snapshotFallback_)
          co_return;
        self->snapshotFallback_ = self->makeCapture("app.tavolin.agent.snapshot-video-capturer");
        self->snapshotFallback_->start();
      });
}

VideoEncodingParameters WebRTCSessionPublisher::encodingParameters() const {
  const WebRTCBitratePlan plan = webRTCBitratePlan(quality_, dependencies_.tuning);
  return {.minBitrate = plan.minimum,
          .startBitrate = plan.start,
          .maxBitrate = plan.maximum,
          .maxFramesPerSecond = dependencies_.tuning.targetFramesPerSecond,
          .temporalLayers = dependencies_.tuning.temporalLayers,
          .maintainFrameRate = quality_ == ScreenStreamQuality::automatic};
}

void WebRTCSessionPublisher::applyQuality(ScreenStreamQuality quality) {
  quality_ = quality;
  {
    std::lock_guard lock(frameSink_->mutex);
    frameSink_->quality = ScreenStreamQualities::rawValue(quality);
  }
  if (peerConnection_)
    peerConnection_->setVideoEncoding(encodingParameters());
  const LiveScreenCaptureSettings settings = captureSettings();
  for (auto* capture : {capture_.get(), snapshotFallback_.get()}) {
    if (capture)
      capture->reconfigure(settings);
  }
}

Awaitable<void> WebRTCSessionPublisher::handleSignal(const TavolinSignal& signal) {
  if (stopped_)
    co_return;
  if (signal.type == "answer") {
    co_await applyAnswer(signal.payload);
  } else if (signal.type == "ice") {
    addRemoteCandidate(signal.payload);
  } else if (signal.type == "quality") {
    const std::string* quality = stringEntry(signal.payload, "quality");
    applyQuality(ScreenStreamQualities::fromMetadataValue(
        quality ? std::optional<std::string_view>(*quality) : std::nullopt));
  } else if (signal.type == "disconnected") {
    auto self = shared_from_this();
    Task::spawn(dependencies_.mainExecutor, "webrtc-publisher-stop",
                [self]() -> Awaitable<void> { co_await self->stop(); });
  }
}

Awaitable<void> WebRTCSessionPublisher::applyAnswer(const JSONObject& payload) {
  if (remoteDescriptionApplied_ || isApplyingRemoteAnswer_ || !peerConnection_)
    co_return;
  const std::string* sdp = stringEntry(payload, "sdp");
  if (sdp == nullptr)
    co_return;
  isApplyingRemoteAnswer_ = true;
  try {
    SessionDescription answer{descriptionType(payload), *sdp};
    co_await peerConnection_->setRemoteDescription(std::move(answer));
  } catch (const PeerConnectionError&) {
    isApplyingRemoteAnswer_ = false;
    signaling_->post(
        "error",
        {{"phase", std::string(kStartPhase)},
         {"message", std::string(messageOf(
                         WebRTCSessionPublisherError::Kind::remoteDescriptionUnavailable))}});
    co_return;
  }
  isApplyingRemoteAnswer_ = false;
  if (stopped_)
    co_return;
  remoteDescriptionApplied_ = true;
  for (const auto& candidate : std::exchange(pendingRemoteIceCandidates_, {}))
    peerConnection_->addRemoteCandidate(candidate);
  signaling_->post("connected", {{"phase", "answer_applied"}});
}

void WebRTCSessionPublisher::addRemoteCandidate(const JSONObject& payload) {
  const std::string* text = stringEntry(payload, "candidate");
  if (text == nullptr || !peerConnection_)
    return;
  IceCandidate candidate{*text, std::nullopt, 0};
  if (const std::string* mid = stringEntry(payload, "sdpMid"))
    candidate.sdpMid = *mid;
  if (const JSONValue* index = payload.find("sdpMLineIndex"); index && index->number())
    candidate.sdpMLineIndex = static_cast<int>(*index->number());
  if (!appliedCandidateKeys_.insert(candidateKey(candidate)).second)
    return;
  if (!remoteDescriptionApplied_) {
    pendingRemoteIceCandidates_.push_back(std::move(candidate));
    return;
  }
  peerConnection_->addRemoteCandidate(candidate);
}

void WebRTCSessionPublisher::postLocalCandidate(const IceCandidate& candidate) {
  if (stopped_ || !postedCandidateKeys_.insert(candidateKey(candidate)).second)
    return;
  JSONObject payload{{"candidate", candidate.candidate},
                     {"sdpMLineIndex", static_cast<double>(candidate.sdpMLineIndex)}};
  payload.set("sdpMid", candidate.sdpMid ? JSONValue(*candidate.sdpMid) : JSONValue());
  signaling_->post("ice", std::move(payload));
}

Awaitable<void> WebRTCSessionPublisher::sendClipboard(bool forced) {
  if (stopped_ || !isOpen(clipboardChannel_))
    co_return;
  ClipboardSync* clipboard = &clipboard_;
  const auto update = co_await runOn(clipboardQueue_,
                                     [clipboard, forced] { return clipboard->nextUpdate(forced); });
  if (update && !stopped_ && isOpen(clipboardChannel_))
    clipboardChannel_->sendText(encodeJSON(*update));
}

bool WebRTCSessionPublisher::replyOnCommands(std::string_view text) const {
  return isOpen(commandsChannel_) && commandsChannel_->sendText(text);
}

Awaitable<void> WebRTCSessionPublisher::stop() {
  if (stopped_)
    co_return;
  stopped_ = true;
  startTask_.cancel();
  clipboardTask_.cancel();
  fallbackTask_.cancel();
  signaling_->stop();
  for (auto* capture : {capture_.get(), snapshotFallback_.get()}) {
    if (capture)
      capture->stop();
  }
  for (const auto& channel :
       {telemetryChannel_, inputChannel_, commandsChannel_, clipboardChannel_}) {
    if (channel) {
      channel->setObserver({});
      channel->close();
    }
  }
  inboxes_.clear();
  if (peerConnection_)
    peerConnection_->close();
  postedCandidateKeys_.clear();
  appliedCandidateKeys_.clear();
  pendingRemoteIceCandidates_.clear();
  signaling_->post("disconnected", {{"reason", "publisher_stopped"}});
}

}  // namespace tavolin
