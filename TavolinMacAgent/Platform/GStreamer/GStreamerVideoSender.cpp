#include "TavolinMacAgent/Platform/GStreamer/GStreamerVideoSender.hpp"

#include <algorithm>
#include <thread>

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <libyuv/convert.h>

#include "TavolinMacAgent/Platform/GStreamer/PlayoutDelayExtension.hpp"

namespace tavolin {
namespace {

using gstreamer::CapsPtr;
using gstreamer::GObjectPtr;
using gstreamer::makeElement;

// Periodic key frames only bound how long a receiver that lost one waits when its own request
// goes missing; receivers ask for key frames (PLI/FIR) as they need them.
constexpr int keyFrameIntervalFrames = 120;
constexpr const char* outputCaps = "video/x-h264,profile=constrained-baseline";
// What the video m-line offers before the first frame has set the payloader's caps: webrtcbin
// 1.22 leaves a transceiver without caps out of the offer. No profile-level-id, since the level
// follows the frame size; browsers read its absence as constrained baseline 3.1 and answer with
// their own.
constexpr const char* offeredCaps =
    "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
    "packetization-mode=(string)1,level-asymmetry-allowed=(string)1";

std::string x264Threads() {
  return std::to_string(std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4));
}

const std::vector<H264EncoderProfile>& hardwareEncoders() {
  static const std::vector<H264EncoderProfile> encoders{
      {"vah264enc",
       "key-int-max",
       {{"rate-control", "cbr"}, {"target-usage", "7"}, {"b-frames", "0"}}},
      {"vaapih264enc", "keyframe-period", {{"rate-control", "cbr"}, {"max-bframes", "0"}}},
  };
  return encoders;
}

const H264EncoderProfile& softwareEncoder() {
  static const H264EncoderProfile encoder{
      "x264enc",
      "key-int-max",
      {{"tune", "zerolatency"}, {"speed-preset", "ultrafast"}, {"threads", x264Threads()}}};
  return encoder;
}

// A VAAPI element can be installed with no usable device behind it (no /dev/dri, a driver
// without H.264 encoding, a sandbox): only a real encode tells.
bool encodesHere(const H264EncoderProfile& encoder) {
  const std::string description =
      "videotestsrc num-buffers=3 ! video/x-raw,format=I420,width=320,height=240,framerate=30/1 ! "
      "videoconvert ! " +
      std::string(encoder.factory) + " ! " + outputCaps + " ! fakesink";
  GError* error = nullptr;
  GstElement* parsed = gst_parse_launch(description.c_str(), &error);
  const gstreamer::ErrorPtr ownedError(error);
  if (!parsed)
    return false;
  const GObjectPtr<GstElement> pipeline(GST_ELEMENT(gst_object_ref_sink(parsed)));
  if (ownedError)
    return false;
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  const GObjectPtr<GstBus> bus(gst_element_get_bus(pipeline.get()));
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus.get(), 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool encoded = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message)
    gst_message_unref(message);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return encoded;
}

bool hasProperty(GstElement* element, const char* name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

bool planeFits(std::span<const std::uint8_t> plane, int stride, int width, int rows) {
  return stride >= width && plane.size() >= static_cast<std::size_t>(stride) * (rows - 1) +
                                                static_cast<std::size_t>(width);
}

bool wellFormed(const VideoFrame& frame) {
  const int width = frame.size.width;
  const int height = frame.size.height;
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0)
    return false;
  return planeFits(frame.y, frame.strideY, width, height) &&
         planeFits(frame.u, frame.strideU, width / 2, height / 2) &&
         planeFits(frame.v, frame.strideV, width / 2, height / 2);
}

GstElement* add(GstPipeline* pipeline, const GObjectPtr<GstElement>& element) {
  gst_bin_add(GST_BIN(pipeline), element.get());
  return element.get();
}

}  // namespace

const H264EncoderProfile& chooseH264Encoder() {
  static const H264EncoderProfile& chosen = []() -> const H264EncoderProfile& {
    for (const auto& encoder : hardwareEncoders()) {
      if (gstreamer::hasElementFactory(encoder.factory) && encodesHere(encoder))
        return encoder;
    }
    return softwareEncoder();
  }();
  return chosen;
}

GStreamerVideoSender::GStreamerVideoSender(GstPipeline* pipeline, GstElement* webrtc,
                                           const H264EncoderProfile& encoder,
                                           const std::string& streamId)
    : pipeline_(gstreamer::addReference(pipeline)),
      source_(makeElement("appsrc")),
      encoder_(makeElement(encoder.factory)) {
  // Passes I420 straight through to x264; VAAPI encoders want NV12.
  auto convert = makeElement("videoconvert");
  auto filter = makeElement("capsfilter");
  auto parse = makeElement("h264parse");
  auto payloader = makeElement("rtph264pay");

  // Newest wins: one frame may wait for the encoder, a newer one replaces it.
  g_object_set(source_.get(), "is-live", TRUE, "do-timestamp", FALSE, "block", FALSE, "max-buffers",
               guint64{1}, "max-bytes", guint64{0}, nullptr);
  gst_util_set_object_arg(G_OBJECT(source_.get()), "format", "time");
  gst_util_set_object_arg(G_OBJECT(source_.get()), "leaky-type", "downstream");

  auto settings = encoder.settings;
  settings.emplace_back(encoder.keyFrameIntervalProperty, std::to_string(keyFrameIntervalFrames));
  for (const auto& [name, value] : settings) {
    if (hasProperty(encoder_.get(), name))
      gst_util_set_object_arg(G_OBJECT(encoder_.get()), name, value.c_str());
  }
  // Constrained baseline is what every browser decodes in hardware and software alike.
  const CapsPtr caps(gst_caps_from_string(outputCaps));
  g_object_set(filter.get(), "caps", caps.get(), nullptr);
  // Parameter sets before every key frame, and each NAL unit out as soon as it is whole.
  g_object_set(payloader.get(), "config-interval", -1, nullptr);
  gst_util_set_object_arg(G_OBJECT(payloader.get()), "aggregate-mode", "zero-latency");
  const auto playoutDelay = makeZeroPlayoutDelayExtension();
  g_signal_emit_by_name(payloader.get(), "add-extension", playoutDelay.get());

  GstElement* chain[] = {add(pipeline, source_), add(pipeline, convert), add(pipeline, encoder_),
                         add(pipeline, filter),  add(pipeline, parse),   add(pipeline, payloader)};
  for (std::size_t at = 1; at < std::size(chain); ++at) {
    if (!gst_element_link(chain[at - 1], chain[at]))
      throw PeerConnectionError(std::string("The video pipeline does not link at ") +
                                GST_ELEMENT_NAME(chain[at]) + ".");
  }

  const GObjectPtr<GstPad> sink(gst_element_request_pad_simple(webrtc, "sink_%u"));
  const GObjectPtr<GstPad> source(gst_element_get_static_pad(payloader.get(), "src"));
  if (!sink || !source || gst_pad_link(source.get(), sink.get()) != GST_PAD_LINK_OK)
    throw PeerConnectionError("The video track could not be added to webrtcbin.");
  if (!streamId.empty())
    g_object_set(sink.get(), "msid", streamId.c_str(), nullptr);
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  g_object_get(sink.get(), "transceiver", &transceiver, nullptr);
  if (!transceiver)
    throw PeerConnectionError("webrtcbin made no transceiver for the video track.");
  const CapsPtr offered(gst_caps_from_string(offeredCaps));
  const std::string extensionField = "extmap-" + std::to_string(playoutDelayExtensionId);
  gst_caps_set_simple(offered.get(), extensionField.c_str(), G_TYPE_STRING,
                      playoutDelayExtensionURI, nullptr);
  g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
               "codec-preferences", offered.get(), nullptr);
  g_object_unref(transceiver);
}

GStreamerVideoSender::~GStreamerVideoSender() {
  stop();
}

bool GStreamerVideoSender::playing() const {
  GstState state = GST_STATE_NULL;
  gst_element_get_state(GST_ELEMENT(pipeline_.get()), &state, nullptr, 0);
  return state == GST_STATE_PLAYING;
}

void GStreamerVideoSender::push(const VideoFrame& frame) {
  std::lock_guard lock(mutex_);
  if (stopped_ || !wellFormed(frame) || !playing())
    return;
  // Running time is the monotonic clock less the moment the pipeline started playing; a frame
  // captured before that has no place in the stream.
  const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(pipeline_.get()));
  if (frame.captureUptimeNs <= base || !limiter_.admit(frame.captureUptimeNs))
    return;
  if (frameSize_ != frame.size)
    setFrameSize(frame.size);

  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, frame.size.width, frame.size.height);
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    if (buffer)
      gst_buffer_unref(buffer);
    return;
  }
  libyuv::I420Copy(
      frame.y.data(), frame.strideY, frame.u.data(), frame.strideU, frame.v.data(), frame.strideV,
      map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0),
      map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 1), GST_VIDEO_INFO_PLANE_STRIDE(&info, 1),
      map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 2), GST_VIDEO_INFO_PLANE_STRIDE(&info, 2),
      frame.size.width, frame.size.height);
  gst_buffer_unmap(buffer, &map);
  GST_BUFFER_PTS(buffer) = frame.captureUptimeNs - base;
  // Takes the buffer; fails only while the pipeline shuts down.
  gst_app_src_push_buffer(GST_APP_SRC(source_.get()), buffer);
}

void GStreamerVideoSender::setFrameSize(PixelSize size) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, size.width, size.height);
  // Frames come as the screen changes: a variable rate, and BT.601 limited range.
  GST_VIDEO_INFO_FPS_N(&info) = 0;
  GST_VIDEO_INFO_FPS_D(&info) = 1;
  gst_video_colorimetry_from_string(&info.colorimetry, GST_VIDEO_COLORIMETRY_BT601);
  const CapsPtr caps(gst_video_info_to_caps(&info));
  gst_app_src_set_caps(GST_APP_SRC(source_.get()), caps.get());
  frameSize_ = size;
}

void GStreamerVideoSender::setEncoding(const VideoEncodingParameters& parameters) {
  // libwebrtc knobs with no GStreamer counterpart, and what stands in for them:
  // - Bandwidth estimate (min, start, max): webrtcbin 1.22 runs no congestion controller that
  //   could steer the encoder, so the encoder holds the start rate (kept within min and max) as
  //   its constant target, re-set live whenever the parameters change.
  // - Degradation preference (maintainFrameRate): nothing here scales resolution or frame rate
  //   under pressure; frames the encoder cannot take are dropped, newest wins.
  // - Temporal layers / scalability mode: x264 and VAAPI encode a single layer; ignored.
  // - Network priority and bit-rate priority: no DSCP marking or priority between streams in
  //   webrtcbin; ignored.
  // - Field trials: the low-latency playout ones come down to the sender stamping a zero
  //   playout delay on its packets, which the payloader does with its own header extension;
  //   others have no counterpart. The sender also keeps its own latency down (zero-latency
  //   tuning, no B-frames, one frame queued, NAL units sent as soon as they are complete).
  std::lock_guard lock(mutex_);
  if (stopped_)
    return;
  limiter_.setMaxFramesPerSecond(parameters.maxFramesPerSecond);

  std::int64_t target =
      parameters.startBitrate > 0 ? parameters.startBitrate : parameters.maxBitrate;
  if (parameters.maxBitrate > 0)
    target = std::min(target, parameters.maxBitrate);
  target = std::max(target, parameters.minBitrate);
  GParamSpec* bitrate = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder_.get()), "bitrate");
  if (target <= 0 || !bitrate || !G_IS_PARAM_SPEC_UINT(bitrate))
    return;
  // Parameters are in bit/s, the encoders' property in kbit/s.
  const auto* range = G_PARAM_SPEC_UINT(bitrate);
  const auto kilobits = static_cast<guint>(
      std::clamp<std::int64_t>(target / 1000, std::max<guint>(range->minimum, 1), range->maximum));
  g_object_set(encoder_.get(), "bitrate", kilobits, nullptr);
}

void GStreamerVideoSender::requestKeyFrame() {
  std::lock_guard lock(mutex_);
  if (stopped_)
    return;
  gst_element_send_event(encoder_.get(),
                         gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
}

void GStreamerVideoSender::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
}

}  // namespace tavolin
