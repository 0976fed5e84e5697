#pragma once

#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"

namespace tavolin {

// The RTP playout-delay header extension, offered on the video m-line under this id.
inline constexpr const char* playoutDelayExtensionURI =
    "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";
inline constexpr guint playoutDelayExtensionId = 1;

// A header extension for a payloader that stamps every packet with a playout delay of zero
// (minimum and maximum), which tells a browser to show each frame as soon as it is decoded
// instead of holding it in a jitter buffer for smooth playback.
gstreamer::GObjectPtr<GstElement> makeZeroPlayoutDelayExtension();

}  // namespace tavolin
