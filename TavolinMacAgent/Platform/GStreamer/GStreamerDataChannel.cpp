#include "TavolinMacAgent/Platform/GStreamer/GStreamerDataChannel.hpp"

namespace tavolin {
namespace {

using gstreamer::CharsPtr;
using gstreamer::ErrorPtr;
using gstreamer::GObjectPtr;

// Every message, either way, must fit in what both ends accept without an a=max-message-size
// line; webrtcbin would otherwise follow whatever the remote end advertises.
constexpr std::size_t maxMessageBytes = 65536;

// webrtcbin 1.22 hands an empty message to SCTP as a chunk of no bytes, which SCTP refuses with
// an error that stops the whole association; empty messages are never sent.
bool sendable(std::size_t size) {
  return size > 0 && size <= maxMessageBytes;
}

DataChannelState stateFromGStreamer(GstWebRTCDataChannelState state) {
  switch (state) {
    case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN:
      return DataChannelState::open;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING:
      return DataChannelState::closing;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED:
      return DataChannelState::closed;
    default:
      // Connecting, and the unnamed zero a channel reads before its first negotiation.
      return DataChannelState::connecting;
  }
}

GstWebRTCDataChannelState readyState(GstWebRTCDataChannel* channel) {
  GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
  g_object_get(channel, "ready-state", &state, nullptr);
  return state;
}

}  // namespace

// webrtcbin's signal handlers; none lets an exception out.
struct DataChannelSignals {
  using Shared = GStreamerDataChannel::Shared;
  using Observer = DataChannel::Observer;

  static void readyState(GObject* channel, GParamSpec*, gpointer data) noexcept {
    const DataChannelState state =
        stateFromGStreamer(tavolin::readyState(GST_WEBRTC_DATA_CHANNEL(channel)));
    gstreamer::stateOf<Shared>(data).observer.call([&](const Observer& observer) {
      if (observer.onStateChange)
        observer.onStateChange(state);
    });
  }

  static void error(GstWebRTCDataChannel* channel, GError* error, gpointer) noexcept {
    try {
      gchar* label = nullptr;
      g_object_get(channel, "label", &label, nullptr);
      const CharsPtr ownedLabel(label);
      gstreamer::logProblem(std::string("data channel ") + (label ? label : "") + ": " +
                            (error ? error->message : "unknown error"));
    } catch (...) {
      // Logging only.
    }
  }

  static void text(GstWebRTCDataChannel*, gchar* text, gpointer data) noexcept {
    // An empty message arrives as no string at all.
    const std::string_view view = text ? std::string_view(text) : std::string_view();
    deliver(data, std::span(reinterpret_cast<const std::uint8_t*>(view.data()), view.size()),
            false);
  }

  static void binary(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) noexcept {
    gsize size = 0;
    const auto* start =
        bytes ? static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size)) : nullptr;
    deliver(data, std::span(start, size), true);
  }

  static void deliver(gpointer data, std::span<const std::uint8_t> message, bool isBinary) {
    gstreamer::stateOf<Shared>(data).observer.call([&](const Observer& observer) {
      if (observer.onMessage)
        observer.onMessage(message, isBinary);
    });
  }
};

GStreamerDataChannel::GStreamerDataChannel(GstWebRTCDataChannel* channel)
    : channel_(gstreamer::addReference(channel)) {
  gchar* label = nullptr;
  gchar* protocol = nullptr;
  gboolean ordered = TRUE;
  gint maxRetransmits = -1;
  g_object_get(channel, "label", &label, "protocol", &protocol, "ordered", &ordered,
               "max-retransmits", &maxRetransmits, nullptr);
  const CharsPtr ownedLabel(label);
  const CharsPtr ownedProtocol(protocol);
  label_ = label ? label : "";
  protocol_ = protocol ? protocol : "";
  ordered_ = ordered;
  if (maxRetransmits >= 0)
    maxRetransmits_ = maxRetransmits;

  handlers_ = {
      gstreamer::connectSignal(channel, "notify::ready-state",
                               G_CALLBACK(&DataChannelSignals::readyState), shared_),
      gstreamer::connectSignal(channel, "on-error", G_CALLBACK(&DataChannelSignals::error),
                               shared_),
      gstreamer::connectSignal(channel, "on-message-string", G_CALLBACK(&DataChannelSignals::text),
                               shared_),
      gstreamer::connectSignal(channel, "on-message-data", G_CALLBACK(&DataChannelSignals::binary),
                               shared_),
  };
}

GStreamerDataChannel::~GStreamerDataChannel() {
  detach();
}

DataChannelState GStreamerDataChannel::state() const {
  std::lock_guard lock(mutex_);
  return channel_ ? stateFromGStreamer(readyState(channel_.get())) : DataChannelState::closed;
}

GObjectPtr<GstWebRTCDataChannel> GStreamerDataChannel::openChannel() const {
  std::lock_guard lock(mutex_);
  // Before the channel opens webrtcbin's send paths would reach for a transport it lacks.
  if (!channel_ || readyState(channel_.get()) != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN)
    return nullptr;
  return gstreamer::addReference(channel_.get());
}

bool GStreamerDataChannel::sendText(std::string_view text) {
  // webrtcbin takes a C string: a NUL would silently cut the message short.
  if (!sendable(text.size()) || text.find('\0') != std::string_view::npos)
    return false;
  const auto channel = openChannel();
  if (!channel)
    return false;
  const std::string terminated(text);
  GError* error = nullptr;
  const bool sent =
      gst_webrtc_data_channel_send_string_full(channel.get(), terminated.c_str(), &error);
  const ErrorPtr owned(error);
  return sent;
}

bool GStreamerDataChannel::sendBinary(std::span<const std::uint8_t> data) {
  if (!sendable(data.size()))
    return false;
  const auto channel = openChannel();
  if (!channel)
    return false;
  GBytes* bytes = g_bytes_new(data.data(), data.size());
  GError* error = nullptr;
  const bool sent = gst_webrtc_data_channel_send_data_full(channel.get(), bytes, &error);
  const ErrorPtr owned(error);
  g_bytes_unref(bytes);
  return sent;
}

std::uint64_t GStreamerDataChannel::bufferedAmount() const {
  std::lock_guard lock(mutex_);
  guint64 amount = 0;
  if (channel_)
    g_object_get(channel_.get(), "buffered-amount", &amount, nullptr);
  return amount;
}

void GStreamerDataChannel::setObserver(Observer observer) {
  shared_->observer.replace(std::move(observer));
}

void GStreamerDataChannel::close() {
  GObjectPtr<GstWebRTCDataChannel> channel;
  {
    std::lock_guard lock(mutex_);
    if (!channel_)
      return;
    channel = gstreamer::addReference(channel_.get());
  }
  // Outside the lock: closing reports `closing` to the observer on this thread.
  gst_webrtc_data_channel_close(channel.get());
}

void GStreamerDataChannel::closeAndDetach() {
  shared_->observer.close();
  close();
  detach();
}

void GStreamerDataChannel::detach() {
  shared_->observer.close();
  std::lock_guard lock(mutex_);
  if (!channel_)
    return;
  for (const gulong handler : handlers_)
    g_signal_handler_disconnect(channel_.get(), handler);
  handlers_.clear();
  channel_.reset();
}

}  // namespace tavolin
