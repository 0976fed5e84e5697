#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

#include <cstdlib>
#include <cstring>

#include "TavolinMacAgent/Platform/X11/X11Latin1.hpp"

namespace tavolin {

std::shared_ptr<X11Connection> X11Connection::open(const std::string& displayName) {
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && iterator.rem > 0; ++i)
    xcb_screen_next(&iterator);
  if (iterator.rem == 0 || iterator.data == nullptr) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::shared_ptr<X11Connection>(new X11Connection(connection, iterator.data));
}

X11Connection::X11Connection(xcb_connection_t* connection, xcb_screen_t* screen)
    : connection_(connection), screen_(screen) {}

X11Connection::~X11Connection() {
  xcb_disconnect(connection_);
}

xcb_atom_t X11Connection::atom(std::string_view name) {
  std::string key(name);
  {
    std::lock_guard lock(mutex_);
    if (auto found = atoms_.find(key); found != atoms_.end())
      return found->second;
  }
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(key.size()), key.data()),
      nullptr));
  if (!reply)
    return XCB_ATOM_NONE;
  std::lock_guard lock(mutex_);
  atoms_[key] = reply->atom;
  return reply->atom;
}

bool X11Connection::sync() {
  XcbReply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  return reply != nullptr;
}

bool X11Connection::hasExtension(std::string_view name) {
  std::string key(name);
  {
    std::lock_guard lock(mutex_);
    if (auto found = extensions_.find(key); found != extensions_.end())
      return found->second;
  }
  XcbReply<xcb_query_extension_reply_t> reply(xcb_query_extension_reply(
      connection_,
      xcb_query_extension(connection_, static_cast<std::uint16_t>(key.size()), key.data()),
      nullptr));
  const bool present = reply && reply->present;
  std::lock_guard lock(mutex_);
  extensions_[key] = present;
  return present;
}

std::optional<X11Connection::Property> X11Connection::property(xcb_window_t window,
                                                               xcb_atom_t property,
                                                               xcb_atom_t type) {
  constexpr std::uint32_t kMaxLongs = 4 * 1024 * 1024;  // 16 MiB
  XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, property, type, 0, kMaxLongs),
      nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE)
    return std::nullopt;
  if (type != XCB_GET_PROPERTY_TYPE_ANY && reply->type != type)
    return std::nullopt;
  Property result;
  result.type = reply->type;
  result.format = reply->format;
  const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
  const int length = xcb_get_property_value_length(reply.get());
  result.bytes.assign(data, data + length);
  return result;
}

std::vector<std::uint32_t> X11Connection::cardinals(xcb_window_t window, xcb_atom_t property,
                                                    xcb_atom_t type) {
  std::vector<std::uint32_t> values;
  auto found = this->property(window, property, type);
  if (!found || found->format != 32)
    return values;
  values.resize(found->bytes.size() / 4);
  // An empty property has no buffer at all.
  if (!values.empty())
    std::memcpy(values.data(), found->bytes.data(), values.size() * 4);
  return values;
}

std::optional<std::string> X11Connection::text(xcb_window_t window, xcb_atom_t property) {
  if (auto utf8 = this->property(window, property, atom("UTF8_STRING"));
      utf8 && utf8->format == 8) {
    return std::string(utf8->bytes.begin(), utf8->bytes.end());
  }
  auto latin1 = this->property(window, property, XCB_ATOM_STRING);
  if (!latin1 || latin1->format != 8)
    return std::nullopt;
  return latin1ToUTF8(latin1->bytes);
}

X11DisplayConnector::X11DisplayConnector(std::string displayName)
    : displayName_(std::move(displayName)) {}

std::shared_ptr<X11Connection> X11DisplayConnector::connection() {
  std::lock_guard lock(mutex_);
  if (current_ && !current_->hasError())
    return current_;
  current_.reset();
  const auto now = std::chrono::steady_clock::now();
  if (lastFailure_ && now - *lastFailure_ < std::chrono::seconds(1))
    return nullptr;
  current_ = X11Connection::open(displayName_);
  if (!current_)
    lastFailure_ = now;
  return current_;
}

}  // namespace tavolin
