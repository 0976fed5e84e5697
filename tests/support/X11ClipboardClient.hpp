#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <xcb/xcb.h>

namespace tavolin::testing {

// Another application on the display, written against the selection protocol directly: it
// reads the clipboard as any toolkit would, incrementally when told INCR, and can copy text of
// its own. Not thread-safe; one thread uses it.
class X11ClipboardClient {
 public:
  struct Reply {
    std::string type;
    std::string bytes;
    bool incremental = false;
  };

  explicit X11ClipboardClient(const std::string& displayName);
  ~X11ClipboardClient();
  X11ClipboardClient(const X11ClipboardClient&) = delete;
  X11ClipboardClient& operator=(const X11ClipboardClient&) = delete;

  xcb_atom_t atom(const std::string& name);
  std::string atomName(xcb_atom_t atom);
  std::size_t maximumRequestBytes() const;

  // The clipboard converted to `target`, or nothing when the owner refused.
  std::optional<Reply> convert(const std::string& target);

  // Copies `text`: takes the clipboard and serves it while serving, as UTF8_STRING, or only as
  // STRING (the bytes as given, Latin-1) like an old application.
  void copy(std::string text, bool latin1Only = false);

  // Answers selection requests until `done` is true.
  void serveUntil(const std::function<bool()>& done);

 private:
  using Event = std::unique_ptr<xcb_generic_event_t, decltype(&free)>;

  Event nextEvent(const std::function<bool(const xcb_generic_event_t&)>& match,
                  std::chrono::steady_clock::duration timeout = std::chrono::seconds(10));
  std::pair<xcb_atom_t, std::string> takeProperty();

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  xcb_window_t window_;
  xcb_atom_t clipboard_;
  xcb_atom_t property_;
  std::string text_;
  bool latin1Only_ = false;
};

}  // namespace tavolin::testing
