#include "tests/support/X11ClipboardClient.hpp"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include <poll.h>

namespace tavolin::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

X11ClipboardClient::X11ClipboardClient(const std::string& displayName)
    : connection_(xcb_connect(displayName.c_str(), nullptr)) {
  if (xcb_connection_has_error(connection_)) {
    xcb_disconnect(connection_);
    throw std::runtime_error("cannot connect to " + displayName);
  }
  screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  window_ = xcb_generate_id(connection_);
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(connection_, 0, window_, screen_->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  clipboard_ = atom("CLIPBOARD");
  property_ = atom("TEST_CLIPBOARD_READ");
}

X11ClipboardClient::~X11ClipboardClient() {
  xcb_disconnect(connection_);
}

xcb_atom_t X11ClipboardClient::atom(const std::string& name) {
  auto* reply = xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
      nullptr);
  const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return result;
}

std::string X11ClipboardClient::atomName(xcb_atom_t atom) {
  auto* reply = xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr);
  std::string name(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
  free(reply);
  return name;
}

std::size_t X11ClipboardClient::maximumRequestBytes() const {
  return xcb_get_setup(connection_)->maximum_request_length * 4u;
}

std::optional<X11ClipboardClient::Reply> X11ClipboardClient::convert(const std::string& target) {
  const xcb_atom_t targetAtom = atom(target);
  xcb_convert_selection(connection_, window_, clipboard_, targetAtom, property_, XCB_CURRENT_TIME);
  auto notified = nextEvent([&](const xcb_generic_event_t& event) {
    return (event.response_type & 0x7F) == XCB_SELECTION_NOTIFY;
  });
  if (!notified)
    throw std::runtime_error("no SelectionNotify");
  if (reinterpret_cast<xcb_selection_notify_event_t*>(notified.get())->property == XCB_NONE)
    return std::nullopt;
  Reply reply;
  auto [type, bytes] = takeProperty();
  reply.type = atomName(type);
  if (reply.type != "INCR") {
    reply.bytes = std::move(bytes);
    return reply;
  }
  reply.incremental = true;
  for (;;) {
    auto changed = nextEvent([&](const xcb_generic_event_t& event) {
      if ((event.response_type & 0x7F) != XCB_PROPERTY_NOTIFY)
        return false;
      const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(event);
      return notify.atom == property_ && notify.state == XCB_PROPERTY_NEW_VALUE;
    });
    if (!changed)
      throw std::runtime_error("INCR transfer stalled");
    auto [chunkType, chunk] = takeProperty();
    if (chunk.empty())
      return reply;
    reply.type = atomName(chunkType);
    reply.bytes += chunk;
  }
}

void X11ClipboardClient::copy(std::string text, bool latin1Only) {
  text_ = std::move(text);
  latin1Only_ = latin1Only;
  xcb_set_selection_owner(connection_, window_, clipboard_, XCB_CURRENT_TIME);
  auto* owner = xcb_get_selection_owner_reply(
      connection_, xcb_get_selection_owner(connection_, clipboard_), nullptr);
  const bool owned = owner && owner->owner == window_;
  free(owner);
  if (!owned)
    throw std::runtime_error("could not take the clipboard");
}

void X11ClipboardClient::serveUntil(const std::function<bool()>& done) {
  const xcb_atom_t utf8 = atom("UTF8_STRING");
  while (!done()) {
    auto event = nextEvent(
        [](const xcb_generic_event_t& event) {
          return (event.response_type & 0x7F) == XCB_SELECTION_REQUEST;
        },
        50ms);
    if (!event)
      continue;
    const auto& request = reinterpret_cast<const xcb_selection_request_event_t&>(*event);
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = XCB_NONE;
    const xcb_atom_t served = latin1Only_ ? xcb_atom_t{XCB_ATOM_STRING} : utf8;
    if (request.target == served) {
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                          served, 8, static_cast<std::uint32_t>(text_.size()), text_.data());
      notify.property = request.property;
    }
    xcb_send_event(connection_, 0, request.requestor, 0, reinterpret_cast<const char*>(&notify));
    xcb_flush(connection_);
  }
}

X11ClipboardClient::Event X11ClipboardClient::nextEvent(
    const std::function<bool(const xcb_generic_event_t&)>& match, Clock::duration timeout) {
  xcb_flush(connection_);
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    while (auto* raw = xcb_poll_for_event(connection_)) {
      Event event(raw, &free);
      if (match(*event))
        return event;
    }
    pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
    ::poll(&fd, 1, 20);
  }
  return Event(nullptr, &free);
}

std::pair<xcb_atom_t, std::string> X11ClipboardClient::takeProperty() {
  auto* reply = xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 24),
      nullptr);
  if (!reply)
    throw std::runtime_error("property unreadable");
  std::pair<xcb_atom_t, std::string> result{
      reply->type, std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                               static_cast<std::size_t>(xcb_get_property_value_length(reply)))};
  free(reply);
  return result;
}

}  // namespace tavolin::testing
