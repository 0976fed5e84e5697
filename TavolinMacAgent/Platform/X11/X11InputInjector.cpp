#include "TavolinMacAgent/Platform/X11/X11InputInjector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include <X11/keysym.h>
#include <boost/locale/utf.hpp>
#include <xcb/xtest.h>

namespace tavolin {
namespace {

using Clock = std::chrono::steady_clock;

std::uint8_t xButton(MouseButton button) {
  switch (button) {
    case MouseButton::right:
      return 3;
    case MouseButton::center:
      return 2;
    case MouseButton::left:
      break;
  }
  return 1;
}

// Wheel buttons: 4 up, 5 down, 6 left, 7 right.
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;

std::int16_t coordinate(double value) {
  constexpr double low = std::numeric_limits<std::int16_t>::min();
  constexpr double high = std::numeric_limits<std::int16_t>::max();
  if (std::isnan(value))
    return 0;
  return static_cast<std::int16_t>(std::clamp(std::round(value), low, high));
}

std::vector<X11KeySymbols::KeySym> keysymsOf(std::string_view text) {
  using Traits = boost::locale::utf::utf_traits<char>;
  std::vector<X11KeySymbols::KeySym> keysyms;
  auto position = text.begin();
  while (position != text.end()) {
    const auto codePoint = Traits::decode(position, text.end());
    if (codePoint == boost::locale::utf::illegal || codePoint == boost::locale::utf::incomplete) {
      continue;  // decode has stepped past the bad bytes
    }
    if (const auto keysym = X11KeySymbols::forCodePoint(static_cast<char32_t>(codePoint)))
      keysyms.push_back(*keysym);
  }
  return keysyms;
}

}  // namespace

X11InputInjector::X11InputInjector(std::shared_ptr<X11DisplayConnector> connector)
    : connector_(std::move(connector)) {}

X11InputInjector::~X11InputInjector() {
  unbindQueue_.stop();
  std::lock_guard lock(mutex_);
  if (borrowed_.empty())
    return;
  if (auto current = connection())
    unbindBorrowed(*current);
}

std::shared_ptr<X11Connection> X11InputInjector::connection() {
  auto current = connector_->connection();
  if (!current)
    return nullptr;
  if (current != borrowedOn_) {
    // A new connection means the server restarted: its keyboard mapping is fresh.
    borrowed_.clear();
    pending_.clear();
    borrowedOn_ = current;
  }
  while (xcb_generic_event_t* event = xcb_poll_for_event(current->get()))
    std::free(event);
  return current;
}

std::shared_ptr<X11Connection> X11InputInjector::inputConnection() {
  auto current = connection();
  // XCB closes a connection that sends a request of an absent extension.
  if (!current || !current->hasExtension("XTEST"))
    return nullptr;
  return current;
}

bool X11InputInjector::isTrusted() {
  std::lock_guard lock(mutex_);
  return inputConnection() != nullptr;
}

std::optional<X11KeyboardMapping> X11InputInjector::readMapping(X11Connection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
      connection.get(), xcb_get_keyboard_mapping(connection.get(), setup->min_keycode, count),
      nullptr));
  if (!reply)
    return std::nullopt;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  return X11KeyboardMapping(setup->min_keycode, reply->keysyms_per_keycode,
                            std::vector<KeySym>(keysyms, keysyms + length));
}

X11InputInjector::Preparation X11InputInjector::prepare(X11Connection& connection,
                                                        X11KeyboardMapping& mapping,
                                                        std::span<const KeySym> keysyms) {
  // Someone else may have rebound a borrowed keycode since; it is no longer ours to unbind.
  std::erase_if(borrowed_, [&](const auto& entry) {
    return mapping.keysym(entry.first, 0) != entry.second.keysym;
  });
  const bool canShift = mapping.strokeFor(XK_Shift_L).has_value();
  std::vector<std::uint8_t> spare = mapping.spareKeycodes();
  std::set<std::uint8_t> inUse;  // borrowed keycodes this round types on
  std::vector<std::uint8_t> rebound;

  Preparation preparation;
  std::size_t& count = preparation.count;
  for (; count < keysyms.size(); ++count) {
    const KeySym keysym = keysyms[count];
    if (const auto stroke = mapping.strokeFor(keysym); stroke && (!stroke->shifted || canShift)) {
      if (borrowed_.contains(stroke->keycode))
        inUse.insert(stroke->keycode);
      continue;
    }
    std::optional<std::uint8_t> keycode;
    if (!spare.empty()) {
      keycode = spare.front();
      spare.erase(spare.begin());
    } else {
      // Take back the borrowed keycode idle the longest that this round does not need.
      for (const auto& [code, entry] : borrowed_) {
        if (!inUse.contains(code) &&
            (!keycode || entry.lastUsed < borrowed_.at(*keycode).lastUsed)) {
          keycode = code;
        }
      }
      if (!keycode)
        break;
      // Clients read the mapping when they reach our MappingNotify: a keycode typed on just
      // now keeps its keysym until they have had time to translate those key events. The
      // round ends before it; a round that would start with it waits.
      const Clock::time_point rested = borrowed_.at(*keycode).lastUsed + rebindDelay;
      if (Clock::now() < rested) {
        if (count == 0)
          preparation.restedAt = rested;
        break;
      }
    }
    mapping.bind(*keycode, keysym);
    borrowed_.insert_or_assign(*keycode, Borrowed{keysym, Clock::now()});
    inUse.insert(*keycode);
    rebound.push_back(*keycode);
  }

  if (!rebound.empty())
    sendMapping(connection, mapping, std::move(rebound));
  return preparation;
}

std::optional<X11InputInjector::Round> X11InputInjector::prepareRound(
    std::unique_lock<std::mutex>& lock, std::span<const KeySym> keysyms, bool& accepted) {
  // Each wait lets at least one keycode rest, so a call only waits again while others keep
  // typing on the keycodes it needs; past this many waits it gives up.
  constexpr int kWaits = 100;
  for (int waits = 0;; ++waits) {
    auto current = inputConnection();
    if (!current)
      return std::nullopt;
    auto mapping = readMapping(*current);
    if (!mapping)
      return std::nullopt;
    const Preparation preparation = prepare(*current, *mapping, keysyms);
    if (!preparation.restedAt || waits == kWaits)
      return Round{std::move(current), std::move(*mapping), preparation.count};
    // Checked now: the calls that go ahead meanwhile check and clear what is pending.
    accepted = delivered(*current) && accepted;
    lock.unlock();
    std::this_thread::sleep_until(*preparation.restedAt);
    lock.lock();
  }
}

void X11InputInjector::sendMapping(X11Connection& connection, const X11KeyboardMapping& mapping,
                                   std::vector<std::uint8_t> keycodes) {
  // One request per run of adjacent keycodes: the keys between them are not ours to rewrite,
  // and writing their rows back could change how the server's XKB keymap types them.
  std::sort(keycodes.begin(), keycodes.end());
  for (auto first = keycodes.begin(); first != keycodes.end();) {
    auto last = first;
    while (std::next(last) != keycodes.end() && *std::next(last) == *last + 1)
      ++last;
    const std::vector<KeySym> rows = mapping.rows(*first, *last);
    pending_.push_back(xcb_change_keyboard_mapping_checked(
        connection.get(), static_cast<std::uint8_t>(*last - *first + 1), *first,
        mapping.keysymsPerKeycode(), rows.data()));
    first = std::next(last);
  }
}

void X11InputInjector::fake(X11Connection& connection, std::uint8_t type, std::uint8_t detail,
                            int x, int y) {
  const xcb_window_t root = type == XCB_MOTION_NOTIFY ? connection.root() : XCB_NONE;
  pending_.push_back(xcb_test_fake_input_checked(connection.get(), type, detail, XCB_CURRENT_TIME,
                                                 root, static_cast<std::int16_t>(x),
                                                 static_cast<std::int16_t>(y), 0));
}

void X11InputInjector::key(X11Connection& connection, const X11KeyboardMapping& mapping,
                           KeySym keysym, bool down) {
  const auto stroke = mapping.strokeFor(keysym);
  if (!stroke)
    return;
  const auto shift = stroke->shifted ? mapping.strokeFor(XK_Shift_L) : std::nullopt;
  if (auto found = borrowed_.find(stroke->keycode); found != borrowed_.end())
    found->second.lastUsed = Clock::now();
  if (down) {
    if (shift)
      fake(connection, XCB_KEY_PRESS, shift->keycode);
    fake(connection, XCB_KEY_PRESS, stroke->keycode);
  } else {
    fake(connection, XCB_KEY_RELEASE, stroke->keycode);
    if (shift)
      fake(connection, XCB_KEY_RELEASE, shift->keycode);
  }
}

bool X11InputInjector::delivered(X11Connection& connection) {
  bool accepted = true;
  for (const xcb_void_cookie_t cookie : pending_) {
    if (xcb_generic_error_t* error = xcb_request_check(connection.get(), cookie)) {
      std::free(error);
      accepted = false;
    }
  }
  pending_.clear();
  return accepted && !connection.hasError();
}

bool X11InputInjector::postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) {
  const auto keysym = X11KeySymbols::forKeyCode(keyCode);
  if (!keysym)
    return false;
  std::vector<KeySym> keysyms = X11KeySymbols::forModifiers(modifiers);
  keysyms.push_back(*keysym);
  std::unique_lock lock(mutex_);
  bool accepted = true;
  const auto round = prepareRound(lock, keysyms, accepted);
  if (!round)
    return false;
  X11Connection& current = *round->connection;
  const bool prepared = round->count == keysyms.size();
  if (prepared) {
    const std::span<const KeySym> held(keysyms.data(), keysyms.size() - 1);
    for (const KeySym modifier : held)
      key(current, round->mapping, modifier, true);
    key(current, round->mapping, *keysym, down);
    for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier)
      key(current, round->mapping, *modifier, false);
  }
  if (!borrowed_.empty())
    scheduleUnbind();
  return delivered(current) && accepted && prepared;
}

bool X11InputInjector::typeText(std::string_view text) {
  const std::vector<KeySym> keysyms = keysymsOf(text);
  std::unique_lock lock(mutex_);
  auto current = inputConnection();
  if (!current)
    return false;
  bool accepted = true;
  for (std::size_t position = 0; position < keysyms.size();) {
    const std::span<const KeySym> rest(keysyms.data() + position, keysyms.size() - position);
    const auto round = prepareRound(lock, rest, accepted);
    if (!round)
      return false;
    current = round->connection;
    if (round->count == 0) {
      accepted = false;  // not a single spare keycode
      break;
    }
    for (const KeySym keysym : rest.first(round->count)) {
      key(*current, round->mapping, keysym, true);
      key(*current, round->mapping, keysym, false);
    }
    // Out now, so that a keycode's rest before it is rebound starts when its events leave.
    xcb_flush(current->get());
    position += round->count;
  }
  if (!borrowed_.empty())
    scheduleUnbind();
  return delivered(*current) && accepted;
}

bool X11InputInjector::postMouse(MouseEventKind kind, MouseButton button, Point point,
                                 ModifierFlags modifiers, int /*clickState*/) {
  std::unique_lock lock(mutex_);
  const std::int16_t x = coordinate(point.x);
  const std::int16_t y = coordinate(point.y);
  if (kind == MouseEventKind::moved || kind == MouseEventKind::dragged) {
    auto current = inputConnection();
    if (!current)
      return false;
    fake(*current, XCB_MOTION_NOTIFY, 0, x, y);
    return delivered(*current);
  }

  const std::vector<KeySym> held = X11KeySymbols::forModifiers(modifiers);
  bool accepted = true;
  std::shared_ptr<X11Connection> current;
  std::optional<X11KeyboardMapping> mapping;
  if (held.empty()) {
    current = inputConnection();
    if (!current)
      return false;
  } else {
    auto round = prepareRound(lock, held, accepted);
    if (!round)
      return false;
    current = std::move(round->connection);
    if (round->count != held.size()) {
      delivered(*current);
      return false;
    }
    mapping = std::move(round->mapping);
  }
  for (const KeySym modifier : held)
    key(*current, *mapping, modifier, true);
  fake(*current, XCB_MOTION_NOTIFY, 0, x, y);
  fake(*current, kind == MouseEventKind::down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
       xButton(button));
  for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier)
    key(*current, *mapping, *modifier, false);
  if (!borrowed_.empty())
    scheduleUnbind();
  return delivered(*current) && accepted;
}

bool X11InputInjector::postScroll(std::int32_t deltaX, std::int32_t deltaY) {
  std::lock_guard lock(mutex_);
  auto current = inputConnection();
  if (!current)
    return false;
  const auto click = [&](std::uint8_t button, int count) {
    for (int i = 0; i < count; ++i) {
      fake(*current, XCB_BUTTON_PRESS, button);
      fake(*current, XCB_BUTTON_RELEASE, button);
    }
  };
  const int up = vertical_.clicks(deltaY);
  click(up > 0 ? kWheelUp : kWheelDown, std::abs(up));
  const int left = horizontal_.clicks(deltaX);
  click(left > 0 ? kWheelLeft : kWheelRight, std::abs(left));
  return delivered(*current);
}

std::optional<Point> X11InputInjector::cursorPosition() {
  std::lock_guard lock(mutex_);
  auto current = connection();
  if (!current)
    return std::nullopt;
  XcbReply<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(
      current->get(), xcb_query_pointer(current->get(), current->root()), nullptr));
  if (!reply)
    return std::nullopt;
  return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

bool X11InputInjector::warpCursor(Point point) {
  std::lock_guard lock(mutex_);
  auto current = inputConnection();
  if (!current)
    return false;
  fake(*current, XCB_MOTION_NOTIFY, 0, coordinate(point.x), coordinate(point.y));
  return delivered(*current);
}

void X11InputInjector::scheduleUnbind() {
  unbindDue_ = Clock::now() + unbindDelay;
  unbindQueue_.post([this, due = unbindDue_] {
    unbindTimer_.expires_at(due);
    unbindTimer_.async_wait([this](const boost::system::error_code& error) {
      if (!error)
        unbindIfDue();
    });
  });
}

void X11InputInjector::unbindIfDue() {
  std::lock_guard lock(mutex_);
  // A later call moved the time on and armed the timer again.
  if (borrowed_.empty() || Clock::now() < unbindDue_)
    return;
  if (auto current = connection())
    unbindBorrowed(*current);
}

void X11InputInjector::unbindBorrowed(X11Connection& connection) {
  auto mapping = readMapping(connection);
  if (mapping) {
    std::vector<std::uint8_t> unbound;
    for (const auto& [keycode, entry] : borrowed_) {
      if (mapping->keysym(keycode, 0) == entry.keysym) {
        mapping->bind(keycode, X11KeySymbols::noSymbol);
        unbound.push_back(keycode);
      }
    }
    sendMapping(connection, *mapping, std::move(unbound));
  }
  borrowed_.clear();
  delivered(connection);
}

}  // namespace tavolin
