#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

namespace tavolin::testing {

// A small X client for input tests: an override-redirect window of its own over a known area,
// holding the input focus, that records the key, button and motion events it receives. Key
// events carry the keysym their keycode had when the event was read: on a MappingNotify the
// recorder reads the keyboard mapping again at once, so events that follow a remap are read
// with the new mapping, as a well-behaved client does. Events are read on a thread of its
// own; the accessors are thread-safe.
class X11EventRecorder {
 public:
  struct Event {
    enum class Type { keyPress, keyRelease, buttonPress, buttonRelease, motion };
    Type type = Type::motion;
    std::uint8_t detail = 0;   // keycode or button number
    std::uint32_t keysym = 0;  // key events: the Shift level of `state`
    std::uint16_t state = 0;   // modifier and button mask just before the event
    int x = 0;                 // root coordinates
    int y = 0;
  };

  X11EventRecorder(const std::string& displayName, int x, int y, int width, int height);
  ~X11EventRecorder();
  X11EventRecorder(const X11EventRecorder&) = delete;
  X11EventRecorder& operator=(const X11EventRecorder&) = delete;

  std::vector<Event> events() const;
  // Waits until `done(events)` holds, up to a generous deadline; returns whether it did.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& done) const;

  // The server's core keyboard mapping now, asked afresh: keysyms per keycode, then the rows.
  std::vector<std::uint32_t> keyboardMapping() const;

 private:
  void run();
  void readMapping();

  xcb_connection_t* connection_;
  xcb_window_t window_ = 0;
  std::uint8_t perKeycode_ = 0;
  std::vector<std::uint32_t> mapping_;  // reader thread only
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

using X11Events = std::vector<X11EventRecorder::Event>;

X11Events eventsOfType(const X11Events& events, X11EventRecorder::Event::Type type);
// The keysyms of the key presses other than the modifiers held around keys (Shift, Control,
// Alt, Super), in order.
std::vector<std::uint32_t> typedKeySyms(const X11Events& events);

}  // namespace tavolin::testing
