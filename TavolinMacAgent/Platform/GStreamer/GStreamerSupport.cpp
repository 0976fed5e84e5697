#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"

#include <optional>

#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin::gstreamer {

void initializeGStreamer() {
  static const std::optional<std::string> failure = []() -> std::optional<std::string> {
    GError* error = nullptr;
    if (gst_init_check(nullptr, nullptr, &error))
      return std::nullopt;
    const ErrorPtr owned(error);
    return "GStreamer could not start: " + std::string(owned ? owned->message : "unknown reason");
  }();
  if (failure)
    throw PeerConnectionError(*failure);
}

bool hasElementFactory(const char* factory) {
  GstElementFactory* found = gst_element_factory_find(factory);
  if (!found)
    return false;
  gst_object_unref(found);
  return true;
}

GObjectPtr<GstElement> makeElement(const char* factory) {
  GstElement* element = gst_element_factory_make(factory, nullptr);
  if (!element)
    throw PeerConnectionError(std::string("The GStreamer element ") + factory +
                              " is not installed.");
  return GObjectPtr<GstElement>(GST_ELEMENT(gst_object_ref_sink(element)));
}

void logProblem(std::string_view what) {
  writeDiagnosticLine(standardDiagnostics(), "webrtc: " + std::string(what));
}

}  // namespace tavolin::gstreamer
