#include "TavolinMacAgent/Platform/GStreamer/PlayoutDelayExtension.hpp"

#include <cstring>

#include <gst/rtp/gstrtphdrext.h>

namespace {

// Two 12-bit delays (minimum, maximum) in units of 10 ms.
constexpr gsize playoutDelaySize = 3;

struct TavolinPlayoutDelay {
  GstRTPHeaderExtension parent;
};

struct TavolinPlayoutDelayClass {
  GstRTPHeaderExtensionClass parent_class;
};

G_DEFINE_TYPE(TavolinPlayoutDelay, tavolin_playout_delay, GST_TYPE_RTP_HEADER_EXTENSION)

GstRTPHeaderExtensionFlags supportedFlags(GstRTPHeaderExtension*) {
  return static_cast<GstRTPHeaderExtensionFlags>(GST_RTP_HEADER_EXTENSION_ONE_BYTE |
                                                 GST_RTP_HEADER_EXTENSION_TWO_BYTE);
}

gsize maxSize(GstRTPHeaderExtension*, const GstBuffer*) {
  return playoutDelaySize;
}

gssize writeZeroDelay(GstRTPHeaderExtension*, const GstBuffer*, GstRTPHeaderExtensionFlags,
                      GstBuffer*, guint8* data, gsize size) {
  if (size < playoutDelaySize)
    return -1;
  std::memset(data, 0, playoutDelaySize);
  return playoutDelaySize;
}

// Only sent; whatever a peer might send back is ignored.
gboolean ignoreRead(GstRTPHeaderExtension*, GstRTPHeaderExtensionFlags, const guint8*, gsize,
                    GstBuffer*) {
  return TRUE;
}

void tavolin_playout_delay_class_init(TavolinPlayoutDelayClass* klass) {
  auto* extensionClass = GST_RTP_HEADER_EXTENSION_CLASS(klass);
  extensionClass->get_supported_flags = supportedFlags;
  extensionClass->get_max_size = maxSize;
  extensionClass->write = writeZeroDelay;
  extensionClass->read = ignoreRead;
  gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Zero playout delay",
                                        GST_RTP_HDREXT_ELEMENT_CLASS,
                                        "Asks the receiver to show frames at once", "Tavolin");
  gst_rtp_header_extension_class_set_uri(extensionClass, tavolin::playoutDelayExtensionURI);
}

void tavolin_playout_delay_init(TavolinPlayoutDelay*) {}

}  // namespace

namespace tavolin {

gstreamer::GObjectPtr<GstElement> makeZeroPlayoutDelayExtension() {
  auto* extension =
      GST_ELEMENT(gst_object_ref_sink(g_object_new(tavolin_playout_delay_get_type(), nullptr)));
  gst_rtp_header_extension_set_id(GST_RTP_HEADER_EXTENSION(extension), playoutDelayExtensionId);
  return gstreamer::GObjectPtr<GstElement>(extension);
}

}  // namespace tavolin
