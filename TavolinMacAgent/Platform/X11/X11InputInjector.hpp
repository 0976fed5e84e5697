#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <xcb/xcb.h>

#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinMacAgent/Platform/InputInjector.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"
#include "TavolinMacAgent/Platform/X11/X11KeyboardMapping.hpp"
#include "TavolinMacAgent/Platform/X11/X11WheelAxis.hpp"

namespace tavolin {

// Synthetic input through the XTEST extension, as if from the core keyboard and pointer.
//
// Keys are found in the server's keyboard mapping, read afresh for every call so a layout
// switch shows at once. A keysym the layout lacks (most of Unicode, often F13-F20 or the media
// keys) is typed on a borrowed spare keycode, bound in one batch before the key events. Clients
// look the new mapping up only when they handle the MappingNotify that precedes the key
// events, so a borrowed keycode is never rebound right after its key events: borrowed keycodes
// are unbound one second after the last keyboard call (on the injector's own queue), and one is
// rebound only once it has rested. A text with more distinct missing characters than there are
// spare keycodes is therefore typed in rounds, the caller waiting between them.
//
// Thread-safe: each call holds the injector's lock, so calls from the main actor and the
// low-latency input queue do not interleave their events, with one exception: a call that must
// wait for a borrowed keycode to rest lets go of the lock while it waits, so that the other
// thread's input does not queue behind the wait, and its events may come between the rounds
// of a text. Give it a connector of its own: it discards the events that arrive on its
// connection (every client receives MappingNotify). Destruction unbinds the borrowed keycodes
// at once.
class X11InputInjector final : public InputInjector {
 public:
  using KeySym = X11KeySymbols::KeySym;

  // How long a borrowed keycode keeps its keysym after its last use, and how long it rests
  // before a call may rebind it (the caller waits for that, so it is kept short).
  static constexpr std::chrono::milliseconds unbindDelay{1000};
  static constexpr std::chrono::milliseconds rebindDelay{150};

  explicit X11InputInjector(std::shared_ptr<X11DisplayConnector> connector);
  ~X11InputInjector() override;
  X11InputInjector(const X11InputInjector&) = delete;
  X11InputInjector& operator=(const X11InputInjector&) = delete;

  bool isTrusted() override;
  bool postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) override;
  // Control characters other than "\n", "\r" and "\t" are skipped; so are invalid bytes.
  bool typeText(std::string_view text) override;
  // X has no click state: a double click is two clicks posted back to back, which the
  // receiving toolkit counts by their timing and position. A down or up event first moves the
  // pointer to `point`; "dragged" is a motion with the button still held.
  bool postMouse(MouseEventKind kind, MouseButton button, Point point, ModifierFlags modifiers,
                 int clickState) override;
  // Buttons 4/5 (up/down) and 6/7 (left/right), at 50 pixels a click (X11WheelAxis).
  bool postScroll(std::int32_t deltaX, std::int32_t deltaY) override;
  std::optional<Point> cursorPosition() override;
  bool warpCursor(Point point) override;

 private:
  struct Borrowed {
    KeySym keysym;
    std::chrono::steady_clock::time_point lastUsed;
  };

  // What prepare() could do: bind keycodes for the front `count` keysyms, or nothing until
  // `restedAt`, when the keycode the first one needs has rested.
  struct Preparation {
    std::size_t count = 0;
    std::optional<std::chrono::steady_clock::time_point> restedAt;
  };

  // A round of keyboard input, prepared: its keysyms' keycodes are bound on `connection`.
  struct Round {
    std::shared_ptr<X11Connection> connection;
    X11KeyboardMapping mapping;
    std::size_t count = 0;
  };

  // The working connection with the events it collected discarded, or nothing.
  std::shared_ptr<X11Connection> connection();
  // The same, when it can post synthetic input.
  std::shared_ptr<X11Connection> inputConnection();
  std::optional<X11KeyboardMapping> readMapping(X11Connection& connection);
  // Binds borrowed keycodes so that `keysyms` can be typed, front first: all of them, or the
  // front part that fits the spare and rested keycodes. Never waits.
  Preparation prepare(X11Connection& connection, X11KeyboardMapping& mapping,
                      std::span<const KeySym> keysyms);
  // prepare() on a fresh connection and mapping, called with `lock` held. While a keycode must
  // rest, waits with the lock released and starts over; nothing when the display or its mapping
  // is gone. `accepted` takes in whether the events faked before such a wait were delivered.
  std::optional<Round> prepareRound(std::unique_lock<std::mutex>& lock,
                                    std::span<const KeySym> keysyms, bool& accepted);
  // Sends the rows of `keycodes` from `mapping` to the server.
  void sendMapping(X11Connection& connection, const X11KeyboardMapping& mapping,
                   std::vector<std::uint8_t> keycodes);
  // Presses (or releases) the key of `keysym`, with Shift around it where its level needs it.
  void key(X11Connection& connection, const X11KeyboardMapping& mapping, KeySym keysym, bool down);
  void fake(X11Connection& connection, std::uint8_t type, std::uint8_t detail, int x = 0,
            int y = 0);
  // Whether the server accepted every event faked since the last call.
  bool delivered(X11Connection& connection);
  void scheduleUnbind();
  void unbindIfDue();
  void unbindBorrowed(X11Connection& connection);

  std::shared_ptr<X11DisplayConnector> connector_;
  std::mutex mutex_;
  std::vector<xcb_void_cookie_t> pending_;
  X11WheelAxis vertical_;
  X11WheelAxis horizontal_;
  // Keycodes bound to keysyms the layout lacked, on `borrowedOn_`.
  std::map<std::uint8_t, Borrowed> borrowed_;
  std::shared_ptr<X11Connection> borrowedOn_;
  std::chrono::steady_clock::time_point unbindDue_;

  SerialQueue unbindQueue_{"tavolin.x11-input-unbind"};
  asio::steady_timer unbindTimer_{unbindQueue_.executor()};  // on unbindQueue_ only
};

}  // namespace tavolin
