#pragma once

// Owning handles for GLib and GStreamer objects and the few helpers every GStreamer adapter here
// shares. Only the implementations in this folder include it.

#include <memory>
#include <string>

// The WebRTC library API of GStreamer is marked unstable; the agent targets 1.22.
#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API
#endif
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

namespace tavolin::gstreamer {

template <auto Release>
struct Releaser {
  template <class T>
  void operator()(T* object) const noexcept {
    Release(object);
  }
};

template <class T>
using GObjectPtr = std::unique_ptr<T, Releaser<g_object_unref>>;
using ErrorPtr = std::unique_ptr<GError, Releaser<g_error_free>>;
using CharsPtr = std::unique_ptr<gchar, Releaser<g_free>>;
using CapsPtr = std::unique_ptr<GstCaps, Releaser<gst_caps_unref>>;
using StructurePtr = std::unique_ptr<GstStructure, Releaser<gst_structure_free>>;

// A new reference to an object someone else owns.
template <class T>
GObjectPtr<T> addReference(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref(object)));
}

// gst_init, once per process. Throws PeerConnectionError when GStreamer cannot start.
void initializeGStreamer();

bool hasElementFactory(const char* factory);

// A new element we hold a full (not floating) reference to; adding it to a bin keeps ours.
// Throws PeerConnectionError naming the missing plugin element.
GObjectPtr<GstElement> makeElement(const char* factory);

// Connects `callback` to `signal`; the closure owns `state` until the handler is disconnected and
// no emission still runs it, so a handler racing a disconnect never sees freed state. The
// callback receives a `std::shared_ptr<State>*` as its user data.
template <class State>
gulong connectSignal(gpointer instance, const char* signal, GCallback callback,
                     std::shared_ptr<State> state) {
  return g_signal_connect_data(
      instance, signal, callback, new std::shared_ptr<State>(std::move(state)),
      [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<State>*>(data); },
      GConnectFlags{});
}

template <class State>
State& stateOf(gpointer userData) {
  return **static_cast<std::shared_ptr<State>*>(userData);
}

// Logs what C callbacks cannot throw.
void logProblem(std::string_view what);

}  // namespace tavolin::gstreamer
