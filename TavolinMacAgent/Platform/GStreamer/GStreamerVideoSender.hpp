#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TavolinMacAgent/Platform/GStreamer/FrameRateLimiter.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin {

// An H.264 encoder element and how to drive it for real-time, low-latency output.
struct H264EncoderProfile {
  const char* factory;
  const char* keyFrameIntervalProperty;
  // Set by name through GStreamer's string conversion (enum nicks, numbers); skipped where the
  // installed element lacks the property.
  std::vector<std::pair<const char*, std::string>> settings;
};

// A hardware (VAAPI) encoder when one is installed and encodes a few test frames here, else x264.
// Probes once per process; may take a moment the first time.
const H264EncoderProfile& chooseH264Encoder();

// The send-only video track: appsrc (I420) → videoconvert → encoder → h264parse → rtph264pay →
// a new webrtcbin sink pad whose transceiver sends only. Frame timestamps are the capture uptime
// in the running time of the pipeline, which must run on the monotonic system clock.
// Thread-safe.
class GStreamerVideoSender {
 public:
  // Adds the elements to `pipeline`. Throws PeerConnectionError when an element is missing or
  // will not link.
  GStreamerVideoSender(GstPipeline* pipeline, GstElement* webrtc, const H264EncoderProfile& encoder,
                       const std::string& streamId);
  ~GStreamerVideoSender();
  GStreamerVideoSender(const GStreamerVideoSender&) = delete;
  GStreamerVideoSender& operator=(const GStreamerVideoSender&) = delete;

  // Dropped unless the pipeline plays, the frame is well formed and newer than the last one, and
  // the frame-rate cap lets it through. While the encoder is busy, the newest frame waits and an
  // older waiting one is dropped.
  void push(const VideoFrame& frame);
  void setEncoding(const VideoEncodingParameters& parameters);
  void requestKeyFrame();
  // Ignores every call from now on; the pipeline's owner stops the elements.
  void stop();

 private:
  bool playing() const;
  void setFrameSize(PixelSize size);

  gstreamer::GObjectPtr<GstPipeline> pipeline_;
  gstreamer::GObjectPtr<GstElement> source_;
  gstreamer::GObjectPtr<GstElement> encoder_;
  std::mutex mutex_;
  FrameRateLimiter limiter_;
  std::optional<PixelSize> frameSize_;
  bool stopped_ = false;
};

}  // namespace tavolin
