#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin {

// A data channel that records what is sent; tests move its state and deliver messages as the
// remote side would. Thread-safe.
class FakeDataChannel final : public DataChannel {
 public:
  explicit FakeDataChannel(const TavolinDataChannelSettings& settings)
      : label_(settings.label),
        ordered_(settings.ordered),
        maxRetransmits_(settings.maxRetransmits),
        protocol_(settings.protocol) {}

  const std::string& label() const override { return label_; }
  bool ordered() const override { return ordered_; }
  std::optional<int> maxRetransmits() const override { return maxRetransmits_; }
  const std::string& protocol() const override { return protocol_; }
  DataChannelState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  bool sendText(std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (state_ != DataChannelState::open)
      return false;
    sentTexts_.emplace_back(text);
    return true;
  }
  bool sendBinary(std::span<const std::uint8_t>) override { return false; }
  std::uint64_t bufferedAmount() const override {
    std::lock_guard lock(mutex_);
    return bufferedAmount_;
  }
  void setObserver(Observer observer) override {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
  }
  void close() override { setState(DataChannelState::closed); }

  void setState(DataChannelState state) {
    Observer observer;
    {
      std::lock_guard lock(mutex_);
      state_ = state;
      observer = observer_;
    }
    if (observer.onStateChange)
      observer.onStateChange(state);
  }
  // As if the remote peer sent `text`.
  void receive(std::string_view text) {
    Observer observer;
    {
      std::lock_guard lock(mutex_);
      observer = observer_;
    }
    if (observer.onMessage)
      observer.onMessage({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, false);
  }
  std::vector<std::string> sentTexts() const {
    std::lock_guard lock(mutex_);
    return sentTexts_;
  }
  void setBufferedAmount(std::uint64_t amount) {
    std::lock_guard lock(mutex_);
    bufferedAmount_ = amount;
  }

 private:
  const std::string label_;
  const bool ordered_;
  const std::optional<int> maxRetransmits_;
  const std::string protocol_;
  mutable std::mutex mutex_;
  DataChannelState state_ = DataChannelState::connecting;
  Observer observer_;
  std::vector<std::string> sentTexts_;
  std::uint64_t bufferedAmount_ = 0;
};

// Records the offer/answer exchange, candidates, encodings and frames. Thread-safe.
class FakePeerConnection final : public PeerConnection {
 public:
  FakePeerConnection(PeerConnectionConfiguration configuration, Observer observer)
      : configuration(std::move(configuration)), observer(std::move(observer)) {}

  std::shared_ptr<DataChannel> createDataChannel(
      const TavolinDataChannelSettings& settings) override {
    auto channel = std::make_shared<FakeDataChannel>(settings);
    std::lock_guard lock(mutex_);
    channels_.push_back(channel);
    return channel;
  }
  Awaitable<SessionDescription> createOffer() override {
    co_return SessionDescription{SessionDescriptionType::offer, "v=0 fake offer"};
  }
  Awaitable<SessionDescription> createAnswer() override {
    co_return SessionDescription{SessionDescriptionType::answer, "v=0 fake answer"};
  }
  Awaitable<void> setLocalDescription(SessionDescription description) override {
    std::lock_guard lock(mutex_);
    localDescription_ = std::move(description);
    co_return;
  }
  Awaitable<void> setRemoteDescription(SessionDescription description) override {
    std::lock_guard lock(mutex_);
    remoteDescription_ = std::move(description);
    co_return;
  }
  void addRemoteCandidate(const IceCandidate& candidate) override {
    std::lock_guard lock(mutex_);
    // Records what a real peer would refuse: a candidate before the remote description.
    remoteCandidates_.push_back({candidate, remoteDescription_.has_value()});
  }
  void pushVideoFrame(const VideoFrame& frame) override {
    std::lock_guard lock(mutex_);
    ++framesPushed_;
    lastFrameSize_ = frame.size;
  }
  void setVideoEncoding(const VideoEncodingParameters& parameters) override {
    std::lock_guard lock(mutex_);
    encodings_.push_back(parameters);
  }
  void requestKeyFrame() override {}
  void close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }

  struct RemoteCandidate {
    IceCandidate candidate;
    bool afterRemoteDescription = false;
  };

  std::vector<std::shared_ptr<FakeDataChannel>> channels() const {
    std::lock_guard lock(mutex_);
    return channels_;
  }
  std::shared_ptr<FakeDataChannel> channel(std::string_view label) const {
    for (const auto& channel : channels()) {
      if (channel->label() == label)
        return channel;
    }
    return nullptr;
  }
  std::optional<SessionDescription> remoteDescription() const {
    std::lock_guard lock(mutex_);
    return remoteDescription_;
  }
  std::vector<RemoteCandidate> remoteCandidates() const {
    std::lock_guard lock(mutex_);
    return remoteCandidates_;
  }
  std::vector<VideoEncodingParameters> encodings() const {
    std::lock_guard lock(mutex_);
    return encodings_;
  }
  int framesPushed() const {
    std::lock_guard lock(mutex_);
    return framesPushed_;
  }
  PixelSize lastFrameSize() const {
    std::lock_guard lock(mutex_);
    return lastFrameSize_;
  }
  bool isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  const PeerConnectionConfiguration configuration;
  const Observer observer;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeDataChannel>> channels_;
  std::optional<SessionDescription> localDescription_, remoteDescription_;
  std::vector<RemoteCandidate> remoteCandidates_;
  std::vector<VideoEncodingParameters> encodings_;
  int framesPushed_ = 0;
  PixelSize lastFrameSize_;
  bool closed_ = false;
};

class FakePeerConnectionFactory final : public PeerConnectionFactory {
 public:
  std::shared_ptr<PeerConnection> makePeerConnection(
      const PeerConnectionConfiguration& configuration,
      PeerConnection::Observer observer) override {
    std::lock_guard lock(mutex_);
    if (unavailable)
      throw PeerConnectionError("no peer connection here");
    made.push_back(std::make_shared<FakePeerConnection>(configuration, std::move(observer)));
    return made.back();
  }

  bool unavailable = false;
  std::vector<std::shared_ptr<FakePeerConnection>> made;

 private:
  std::mutex mutex_;
};

}  // namespace tavolin
