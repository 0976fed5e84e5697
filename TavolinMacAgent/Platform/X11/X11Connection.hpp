#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <xcb/xcb.h>

namespace tavolin {

// One connection to an X server and its first screen. libxcb is thread-safe, so a connection
// may be shared between threads; the atom cache has its own lock. A connection that broke
// stays broken (`hasError`): ask the X11DisplayConnector for a new one.
class X11Connection {
 public:
  // Nothing when the display cannot be opened. An empty name means $DISPLAY.
  static std::shared_ptr<X11Connection> open(const std::string& displayName);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  bool hasError() const { return xcb_connection_has_error(connection_) != 0; }

  // The atom of `name`, interned once; XCB_ATOM_NONE when the server cannot be asked.
  xcb_atom_t atom(std::string_view name);

  // Waits until the server has handled every request sent so far; false on a broken
  // connection.
  bool sync();

  // Whether the server offers an extension (asked once per name).
  bool hasExtension(std::string_view name);

  // A window property read whole (up to 16 MiB); nothing when absent or of another type.
  // `type` XCB_ATOM_ANY accepts any type.
  struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    std::uint8_t format = 0;  // 8, 16 or 32
    std::vector<std::uint8_t> bytes;
  };
  std::optional<Property> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
  // A 32-bit property (CARDINAL, WINDOW, ATOM, ...) as its values.
  std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
  // A text property: UTF8_STRING, else STRING (Latin-1, converted to UTF-8).
  std::optional<std::string> text(xcb_window_t window, xcb_atom_t property);

 private:
  X11Connection(xcb_connection_t* connection, xcb_screen_t* screen);

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  std::mutex mutex_;
  std::unordered_map<std::string, xcb_atom_t> atoms_;
  std::unordered_map<std::string, bool> extensions_;
};

// Hands out a working connection to one display, opening a new one after the previous broke
// (the X server restarted, the session ended). Thread-safe. While the display is unreachable,
// it tries again at most once per second so a poller does not hammer the socket.
class X11DisplayConnector {
 public:
  explicit X11DisplayConnector(std::string displayName);

  // The current connection, or nothing while the display is unreachable.
  std::shared_ptr<X11Connection> connection();
  const std::string& displayName() const { return displayName_; }

 private:
  std::string displayName_;
  std::mutex mutex_;
  std::shared_ptr<X11Connection> current_;
  std::optional<std::chrono::steady_clock::time_point> lastFailure_;
};

// Frees an XCB reply when it goes out of scope.
struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <class Reply>
using XcbReply = std::unique_ptr<Reply, FreeDeleter>;

}  // namespace tavolin
