#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"
#include "TavolinMacAgent/Platform/GStreamer/ObserverGate.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin {

// One webrtcbin data channel. Its settings are read back from the channel when it is wrapped, so
// they are what webrtcbin negotiated. The observer runs on webrtcbin's operation thread (openings
// and messages), except that a local close() reports `closing` on the closing thread.
class GStreamerDataChannel final : public DataChannel {
 public:
  // Takes a reference of its own to `channel`.
  explicit GStreamerDataChannel(GstWebRTCDataChannel* channel);
  ~GStreamerDataChannel() override;
  GStreamerDataChannel(const GStreamerDataChannel&) = delete;
  GStreamerDataChannel& operator=(const GStreamerDataChannel&) = delete;

  const std::string& label() const override { return label_; }
  bool ordered() const override { return ordered_; }
  std::optional<int> maxRetransmits() const override { return maxRetransmits_; }
  const std::string& protocol() const override { return protocol_; }
  DataChannelState state() const override;

  bool sendText(std::string_view text) override;
  bool sendBinary(std::span<const std::uint8_t> data) override;
  std::uint64_t bufferedAmount() const override;

  void setObserver(Observer observer) override;
  void close() override;

  // Closes the channel and lets go of it: from then on it reads closed, refuses sends and calls
  // no observer. The peer connection does this to each of its channels when it closes.
  void closeAndDetach();

 private:
  struct Shared {
    gstreamer::ObserverGate<Observer> observer;
  };
  friend struct DataChannelSignals;

  void detach();
  // The channel while it is open, else none.
  gstreamer::GObjectPtr<GstWebRTCDataChannel> openChannel() const;

  std::string label_;
  std::string protocol_;
  bool ordered_ = true;
  std::optional<int> maxRetransmits_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  mutable std::mutex mutex_;
  gstreamer::GObjectPtr<GstWebRTCDataChannel> channel_;
  std::vector<gulong> handlers_;
};

}  // namespace tavolin
