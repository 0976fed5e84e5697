#include "TavolinMacAgent/Platform/GStreamer/GStreamerPromise.hpp"

namespace tavolin::gstreamer {

PromiseOutcome readPromise(GstPromise* promise) {
  // The promise has changed by the time this runs, so this does not wait.
  switch (gst_promise_wait(promise)) {
    case GST_PROMISE_RESULT_REPLIED:
      break;
    case GST_PROMISE_RESULT_INTERRUPTED:
      return {nullptr, "The peer-connection operation was interrupted."};
    default:
      return {nullptr, "The peer-connection operation did not complete."};
  }
  const GstStructure* reply = gst_promise_get_reply(promise);
  if (!reply)
    return {};
  if (gst_structure_has_field_typed(reply, "error", G_TYPE_ERROR)) {
    GError* error = nullptr;
    gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
    const ErrorPtr owned(error);
    return {nullptr, owned ? owned->message : "webrtcbin reported an unnamed error."};
  }
  return {StructurePtr(gst_structure_copy(reply)), std::nullopt};
}

}  // namespace tavolin::gstreamer
