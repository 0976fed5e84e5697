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

// GLib is built without frame pointers, so what it allocates is reported without its callers,
// and it leaks its first table of interned strings on purpose when the table grows, which
// GStreamer's many names make it do. A sanitizer build of any program that starts GStreamer
// here (the agent, the integration tests) therefore leaves allocations inside GLib unreported;
// everything allocated from our own code still is. Only LeakSanitizer looks this name up.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\n";
}
