#include "TavolinMacAgent/Platform/GStreamer/GStreamerPeerConnection.hpp"

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gst/sdp/sdp.h>

#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerDataChannel.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerPromise.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerVideoSender.hpp"
#include "TavolinMacAgent/Platform/GStreamer/ObserverGate.hpp"
#include "TavolinMacAgent/Platform/GStreamer/StunServer.hpp"

namespace tavolin {

// Brings closed pipelines down, one after the other, on a thread of its own. Whatever it was
// handed is down by the time it is destroyed.
class GStreamerPipelineTeardown {
 public:
  GStreamerPipelineTeardown() = default;
  GStreamerPipelineTeardown(const GStreamerPipelineTeardown&) = delete;
  GStreamerPipelineTeardown& operator=(const GStreamerPipelineTeardown&) = delete;

  ~GStreamerPipelineTeardown() {
    std::promise<void> drained;
    queue_.post([&drained] { drained.set_value(); });
    drained.get_future().wait();
  }

  // `keep` stays alive until the pipeline is down.
  void bringDown(gstreamer::GObjectPtr<GstPipeline> pipeline, std::shared_ptr<void> keep) {
    queue_.post([pipeline = std::move(pipeline), keep = std::move(keep)] {
      // Joins webrtcbin's thread and every streaming thread; operations still queued end with
      // PeerConnectionError.
      gst_element_set_state(GST_ELEMENT(pipeline.get()), GST_STATE_NULL);
      const gstreamer::GObjectPtr<GstBus> bus(gst_pipeline_get_bus(pipeline.get()));
      gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    });
  }

 private:
  SerialQueue queue_{"app.tavolin.agent.webrtc-teardown"};
};

namespace {

using gstreamer::CapsPtr;
using gstreamer::CharsPtr;
using gstreamer::GObjectPtr;
using gstreamer::Releaser;
using gstreamer::StructurePtr;
using DescriptionPtr =
    std::unique_ptr<GstWebRTCSessionDescription, Releaser<gst_webrtc_session_description_free>>;

// The receive-only audio m-line offers what browsers send: Opus, stereo, 48 kHz.
constexpr const char* receivedAudioCaps =
    "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000,payload=111,"
    "encoding-params=(string)2";

GstWebRTCSDPType typeToGStreamer(SessionDescriptionType type) {
  switch (type) {
    case SessionDescriptionType::offer:
      return GST_WEBRTC_SDP_TYPE_OFFER;
    case SessionDescriptionType::pranswer:
      return GST_WEBRTC_SDP_TYPE_PRANSWER;
    case SessionDescriptionType::answer:
      return GST_WEBRTC_SDP_TYPE_ANSWER;
    case SessionDescriptionType::rollback:
      break;
  }
  return GST_WEBRTC_SDP_TYPE_ROLLBACK;
}

SessionDescriptionType typeFromGStreamer(GstWebRTCSDPType type) {
  switch (type) {
    case GST_WEBRTC_SDP_TYPE_OFFER:
      return SessionDescriptionType::offer;
    case GST_WEBRTC_SDP_TYPE_PRANSWER:
      return SessionDescriptionType::pranswer;
    case GST_WEBRTC_SDP_TYPE_ANSWER:
      return SessionDescriptionType::answer;
    case GST_WEBRTC_SDP_TYPE_ROLLBACK:
      break;
  }
  return SessionDescriptionType::rollback;
}

PeerConnectionState stateFromGStreamer(GstWebRTCPeerConnectionState state) {
  switch (state) {
    case GST_WEBRTC_PEER_CONNECTION_STATE_NEW:
    case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING:
      return PeerConnectionState::connecting;
    case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED:
      return PeerConnectionState::connected;
    case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED:
      return PeerConnectionState::disconnected;
    case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED:
      return PeerConnectionState::failed;
    case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED:
      break;
  }
  return PeerConnectionState::closed;
}

DescriptionPtr descriptionToGStreamer(const SessionDescription& description) {
  GstSDPMessage* sdp = nullptr;
  // The parser takes almost any text; a description starts with its version line.
  if (gst_sdp_message_new_from_text(description.sdp.c_str(), &sdp) != GST_SDP_OK)
    throw PeerConnectionError("The session description is not SDP.");
  const gchar* version = gst_sdp_message_get_version(sdp);
  if (!version || std::string_view(version) != "0") {
    gst_sdp_message_free(sdp);
    throw PeerConnectionError("The session description is not SDP.");
  }
  // Takes the message.
  return DescriptionPtr(gst_webrtc_session_description_new(typeToGStreamer(description.type), sdp));
}

// webrtcbin names a sent track only in a=ssrc lines, which it writes once the first frame has
// set the payloader's caps; a first offer made before that would leave the track and its stream
// unnamed. So each sending video m-line without one gets its a=msid here.
void nameVideoTrack(GstSDPMessage* sdp, const std::string& msid) {
  for (guint index = 0; index < gst_sdp_message_medias_len(sdp); ++index) {
    // The media belongs to the message, which is ours to change.
    auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, index));
    const bool sends = gst_sdp_media_get_attribute_val(media, "sendonly") ||
                       gst_sdp_media_get_attribute_val(media, "sendrecv");
    if (std::string_view(gst_sdp_media_get_media(media)) == "video" && sends &&
        !gst_sdp_media_get_attribute_val(media, "msid"))
      gst_sdp_media_add_attribute(media, "msid", msid.c_str());
  }
}

SessionDescription descriptionFromReply(const GstStructure* reply, const char* field,
                                        const std::string& videoMsid) {
  GstWebRTCSessionDescription* description = nullptr;
  if (reply)
    gst_structure_get(reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description, nullptr);
  if (!description)
    throw PeerConnectionError(std::string("webrtcbin answered without an ") + field + ".");
  const DescriptionPtr owned(description);
  if (!videoMsid.empty())
    nameVideoTrack(description->sdp, videoMsid);
  const CharsPtr text(gst_sdp_message_as_text(description->sdp));
  return {typeFromGStreamer(description->type), text.get()};
}

std::vector<std::string> mediaIds(const GstSDPMessage* sdp) {
  std::vector<std::string> ids;
  for (guint index = 0; index < gst_sdp_message_medias_len(sdp); ++index) {
    const gchar* id = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, index), "mid");
    ids.emplace_back(id ? id : "");
  }
  return ids;
}

// What webrtcbin's signal handlers reach; it owns no GStreamer object, so a handler running late
// on a GStreamer thread keeps nothing alive that must be torn down on another.
struct Shared {
  explicit Shared(PeerConnection::Observer observer) : observer(std::move(observer)) {}

  void track(const std::shared_ptr<GStreamerDataChannel>& channel) {
    std::lock_guard lock(mutex);
    std::erase_if(channels, [](const auto& weak) { return weak.expired(); });
    channels.push_back(channel);
  }

  void reportState(PeerConnectionState state) {
    observer.call([&](const PeerConnection::Observer& current) {
      if (current.onStateChange)
        current.onStateChange(state);
    });
  }

  gstreamer::ObserverGate<PeerConnection::Observer> observer;
  std::mutex mutex;
  // Media ids of the local description by m-line, for the candidates webrtcbin reports.
  std::vector<std::string> localMediaIds;
  std::vector<std::weak_ptr<GStreamerDataChannel>> channels;
  std::atomic<bool> failureReported = false;
};

// webrtcbin's signal handlers and the bus handler; none lets an exception out.
struct Signals {
  using Observer = PeerConnection::Observer;

  static void localCandidate(GstElement*, guint mediaIndex, gchar* candidate,
                             gpointer data) noexcept {
    auto& shared = gstreamer::stateOf<Shared>(data);
    shared.observer.call([&](const Observer& observer) {
      if (!observer.onLocalCandidate || !candidate)
        return;
      IceCandidate local{candidate, std::nullopt, static_cast<int>(mediaIndex)};
      {
        std::lock_guard lock(shared.mutex);
        if (mediaIndex < shared.localMediaIds.size() && !shared.localMediaIds[mediaIndex].empty())
          local.sdpMid = shared.localMediaIds[mediaIndex];
      }
      observer.onLocalCandidate(local);
    });
  }

  static void remoteChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) noexcept {
    auto& shared = gstreamer::stateOf<Shared>(data);
    // Wrapped inside the gate, so a close() that has passed it finds every channel tracked.
    shared.observer.call([&](const Observer& observer) {
      auto wrapped = std::make_shared<GStreamerDataChannel>(channel);
      shared.track(wrapped);
      if (observer.onDataChannel)
        observer.onDataChannel(std::move(wrapped));
    });
  }

  static void connectionState(GObject* webrtc, GParamSpec*, gpointer data) noexcept {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED;
    g_object_get(webrtc, "connection-state", &state, nullptr);
    gstreamer::stateOf<Shared>(data).reportState(stateFromGStreamer(state));
  }

  // Received media (the remote end's audio, or video sent to a peer without its own) has no
  // consumer here; a sink keeps webrtcbin from reporting it as unlinked.
  static void padAdded(GstElement* webrtc, GstPad* pad, gpointer) noexcept {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
      return;
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    GstObject* pipeline = gst_element_get_parent(webrtc);
    if (!sink || !pipeline) {
      if (sink)
        gst_object_unref(gst_object_ref_sink(sink));
      if (pipeline)
        gst_object_unref(pipeline);
      return;
    }
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    const GObjectPtr<GstPad> sinkPad(gst_element_get_static_pad(sink, "sink"));
    gst_pad_link(pad, sinkPad.get());
    gst_object_unref(pipeline);
  }

  // Messages are only logged, so none is queued for a main loop this process does not run.
  static GstBusSyncReply busMessage(GstBus*, GstMessage* message, gpointer data) noexcept {
    const bool isError = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
    if (isError || GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
      GError* error = nullptr;
      gchar* debug = nullptr;
      if (isError)
        gst_message_parse_error(message, &error, &debug);
      else
        gst_message_parse_warning(message, &error, &debug);
      const gstreamer::ErrorPtr ownedError(error);
      const CharsPtr ownedDebug(debug);
      try {
        gstreamer::logProblem(std::string(isError ? "error" : "warning") + " from " +
                              GST_MESSAGE_SRC_NAME(message) + ": " + (error ? error->message : "") +
                              (debug ? " (" : "") + (debug ? debug : "") + (debug ? ")" : ""));
      } catch (...) {
        // Logging only.
      }
      // A pipeline that has posted an error no longer streams; the owner starts over.
      auto& shared = gstreamer::stateOf<Shared>(data);
      if (isError && !shared.failureReported.exchange(true))
        shared.reportState(PeerConnectionState::failed);
    }
    return GST_BUS_DROP;
  }
};

class GStreamerPeerConnection final : public PeerConnection {
 public:
  GStreamerPeerConnection(const PeerConnectionConfiguration& configuration, Observer observer,
                          std::shared_ptr<GStreamerPipelineTeardown> teardown)
      : teardown_(std::move(teardown)),
        shared_(std::make_shared<Shared>(std::move(observer))),
        pipeline_(GST_PIPELINE(gst_object_ref_sink(gst_pipeline_new(nullptr)))),
        webrtc_(gstreamer::makeElement("webrtcbin")) {
    // Frames carry their capture time on CLOCK_MONOTONIC, which is this clock's time.
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(pipeline_.get(), clock);
    gst_object_unref(clock);

    gst_util_set_object_arg(G_OBJECT(webrtc_.get()), "bundle-policy", "max-bundle");
    if (const auto stun = webrtcbinStunServer(configuration.iceServers))
      g_object_set(webrtc_.get(), "stun-server", stun->c_str(), nullptr);
    gst_bin_add(GST_BIN(pipeline_.get()), webrtc_.get());

    if (!configuration.videoTrackId.empty()) {
      video_ = std::make_shared<GStreamerVideoSender>(
          pipeline_.get(), webrtc_.get(), chooseH264Encoder(), configuration.videoStreamId);
      // "-" stands for no stream.
      videoMsid_ = (configuration.videoStreamId.empty() ? "-" : configuration.videoStreamId) + " " +
                   configuration.videoTrackId;
    }
    if (!configuration.receiveOnlyAudioStreamId.empty())
      addReceiveOnlyAudio();

    // No "on-negotiation-needed": the owner decides when to offer.
    handlers_ = {
        gstreamer::connectSignal(webrtc_.get(), "on-ice-candidate",
                                 G_CALLBACK(&Signals::localCandidate), shared_),
        gstreamer::connectSignal(webrtc_.get(), "on-data-channel",
                                 G_CALLBACK(&Signals::remoteChannel), shared_),
        gstreamer::connectSignal(webrtc_.get(), "notify::connection-state",
                                 G_CALLBACK(&Signals::connectionState), shared_),
        g_signal_connect(webrtc_.get(), "pad-added", G_CALLBACK(&Signals::padAdded), nullptr),
    };
    const GObjectPtr<GstBus> bus(gst_pipeline_get_bus(pipeline_.get()));
    gst_bus_set_sync_handler(
        bus.get(), &Signals::busMessage, new std::shared_ptr<Shared>(shared_),
        [](gpointer data) { delete static_cast<std::shared_ptr<Shared>*>(data); });

    // Data channels created before the pipeline plays are part of the first offer.
    if (gst_element_set_state(GST_ELEMENT(pipeline_.get()), GST_STATE_READY) ==
        GST_STATE_CHANGE_FAILURE) {
      close();
      throw PeerConnectionError("The peer connection's pipeline did not start.");
    }
  }

  ~GStreamerPeerConnection() override { close(); }

  GStreamerPeerConnection(const GStreamerPeerConnection&) = delete;
  GStreamerPeerConnection& operator=(const GStreamerPeerConnection&) = delete;

  std::shared_ptr<DataChannel> createDataChannel(
      const TavolinDataChannelSettings& settings) override {
    const auto webrtc = liveWebRTC();
    if (settings.maxRetransmits &&
        (*settings.maxRetransmits < 0 || *settings.maxRetransmits > 65535))
      throw PeerConnectionError("A data channel's retransmit limit must lie within 0 to 65535.");
    const std::string label(settings.label);
    const std::string protocol(settings.protocol);
    const StructurePtr options(gst_structure_new(
        "data-channel-options", "ordered", G_TYPE_BOOLEAN, static_cast<gboolean>(settings.ordered),
        "protocol", G_TYPE_STRING, protocol.c_str(), nullptr));
    if (settings.maxRetransmits)
      gst_structure_set(options.get(), "max-retransmits", G_TYPE_INT, *settings.maxRetransmits,
                        nullptr);
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtc.get(), "create-data-channel", label.c_str(), options.get(),
                          &channel);
    if (!channel)
      throw PeerConnectionError("webrtcbin refused the data channel \"" + label + "\".");
    const GObjectPtr<GstWebRTCDataChannel> owned(channel);
    auto wrapped = std::make_shared<GStreamerDataChannel>(channel);
    shared_->track(wrapped);
    return wrapped;
  }

  Awaitable<SessionDescription> createOffer() override {
    const auto webrtc = negotiatingWebRTC();
    const std::string videoMsid = videoMsid_;
    std::function<void(GstPromise*)> emit = [element = webrtc.get()](GstPromise* promise) {
      g_signal_emit_by_name(element, "create-offer", nullptr, promise);
    };
    const StructurePtr reply = co_await gstreamer::awaitPromise(std::move(emit));
    co_return descriptionFromReply(reply.get(), "offer", videoMsid);
  }

  Awaitable<SessionDescription> createAnswer() override {
    const auto webrtc = negotiatingWebRTC();
    const std::string videoMsid = videoMsid_;
    std::function<void(GstPromise*)> emit = [element = webrtc.get()](GstPromise* promise) {
      g_signal_emit_by_name(element, "create-answer", nullptr, promise);
    };
    const StructurePtr reply = co_await gstreamer::awaitPromise(std::move(emit));
    co_return descriptionFromReply(reply.get(), "answer", videoMsid);
  }

  Awaitable<void> setLocalDescription(SessionDescription description) override {
    const auto webrtc = negotiatingWebRTC();
    const DescriptionPtr converted = descriptionToGStreamer(description);
    {
      std::lock_guard lock(shared_->mutex);
      shared_->localMediaIds = mediaIds(converted->sdp);
    }
    std::function<void(GstPromise*)> emit = [element = webrtc.get(),
                                             sdp = converted.get()](GstPromise* promise) {
      g_signal_emit_by_name(element, "set-local-description", sdp, promise);
    };
    co_await gstreamer::awaitPromise(std::move(emit));
  }

  Awaitable<void> setRemoteDescription(SessionDescription description) override {
    const auto webrtc = negotiatingWebRTC();
    const DescriptionPtr converted = descriptionToGStreamer(description);
    std::function<void(GstPromise*)> emit = [element = webrtc.get(),
                                             sdp = converted.get()](GstPromise* promise) {
      g_signal_emit_by_name(element, "set-remote-description", sdp, promise);
    };
    co_await gstreamer::awaitPromise(std::move(emit));
  }

  void addRemoteCandidate(const IceCandidate& candidate) override {
    // An empty candidate only marks the end of the remote ones, which libnice does not need.
    if (candidate.candidate.empty() || candidate.sdpMLineIndex < 0)
      return;
    GObjectPtr<GstElement> webrtc;
    {
      std::lock_guard lock(mutex_);
      if (closed_)
        return;
      webrtc = gstreamer::addReference(webrtc_.get());
    }
    g_signal_emit_by_name(webrtc.get(), "add-ice-candidate",
                          static_cast<guint>(candidate.sdpMLineIndex), candidate.candidate.c_str());
  }

  void pushVideoFrame(const VideoFrame& frame) override {
    if (video_)
      video_->push(frame);
  }

  void setVideoEncoding(const VideoEncodingParameters& parameters) override {
    if (video_)
      video_->setEncoding(parameters);
  }

  void requestKeyFrame() override {
    if (video_)
      video_->requestKeyFrame();
  }

  void close() override {
    {
      std::lock_guard lock(mutex_);
      if (closed_)
        return;
      closed_ = true;
    }
    shared_->observer.close();
    std::vector<std::weak_ptr<GStreamerDataChannel>> channels;
    {
      std::lock_guard lock(shared_->mutex);
      channels.swap(shared_->channels);
    }
    for (const auto& weak : channels) {
      if (const auto channel = weak.lock())
        channel->closeAndDetach();
    }
    for (const gulong handler : handlers_)
      g_signal_handler_disconnect(webrtc_.get(), handler);
    handlers_.clear();
    if (video_)
      video_->stop();
    // The sender goes with the pipeline, never before it.
    teardown_->bringDown(gstreamer::addReference(pipeline_.get()), video_);
  }

 private:
  void addReceiveOnlyAudio() {
    const CapsPtr caps(gst_caps_from_string(receivedAudioCaps));
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc_.get(), "add-transceiver",
                          GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, caps.get(), &transceiver);
    if (!transceiver)
      throw PeerConnectionError("webrtcbin made no receive-only audio transceiver.");
    g_object_unref(transceiver);
  }

  GObjectPtr<GstElement> liveWebRTC() {
    std::lock_guard lock(mutex_);
    if (closed_)
      throw PeerConnectionError("The peer connection is closed.");
    return gstreamer::addReference(webrtc_.get());
  }

  // Negotiation is where the pipeline starts playing: channels created before it are in the
  // first offer, and frames are taken from then on.
  GObjectPtr<GstElement> negotiatingWebRTC() {
    std::lock_guard lock(mutex_);
    if (closed_)
      throw PeerConnectionError("The peer connection is closed.");
    if (!playing_) {
      if (gst_element_set_state(GST_ELEMENT(pipeline_.get()), GST_STATE_PLAYING) ==
          GST_STATE_CHANGE_FAILURE)
        throw PeerConnectionError("The peer connection's pipeline would not play.");
      playing_ = true;
    }
    return gstreamer::addReference(webrtc_.get());
  }

  std::shared_ptr<GStreamerPipelineTeardown> teardown_;
  std::shared_ptr<Shared> shared_;
  GObjectPtr<GstPipeline> pipeline_;
  GObjectPtr<GstElement> webrtc_;
  // Kept until destruction so that frame pushes racing close() find it stopped, not gone.
  std::shared_ptr<GStreamerVideoSender> video_;
  // "stream track" for the a=msid of the video m-line; empty without video.
  std::string videoMsid_;
  std::vector<gulong> handlers_;
  std::mutex mutex_;
  bool playing_ = false;
  bool closed_ = false;
};

}  // namespace

GStreamerPeerConnectionFactory::GStreamerPeerConnectionFactory()
    : teardown_(std::make_shared<GStreamerPipelineTeardown>()) {}

GStreamerPeerConnectionFactory::~GStreamerPeerConnectionFactory() = default;

std::shared_ptr<PeerConnection> GStreamerPeerConnectionFactory::makePeerConnection(
    const PeerConnectionConfiguration& configuration, PeerConnection::Observer observer) {
  gstreamer::initializeGStreamer();
  return std::make_shared<GStreamerPeerConnection>(configuration, std::move(observer), teardown_);
}

}  // namespace tavolin
