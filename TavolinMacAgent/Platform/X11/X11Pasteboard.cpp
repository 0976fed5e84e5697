#include "TavolinMacAgent/Platform/X11/X11Pasteboard.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include <xcb/xfixes.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Platform/X11/X11Latin1.hpp"

namespace tavolin {
namespace {

using Clock = std::chrono::steady_clock;

// A requestor that stops taking INCR chunks is given up after this long.
constexpr auto kTransferIdleLimit = std::chrono::seconds(5);
// How long the server may take to tell us its time.
constexpr auto kServerTimeTimeout = std::chrono::seconds(1);
// Properties that our reads rotate through, so a late answer to a read that timed out is not
// taken for the answer to the next one.
constexpr std::size_t kReadProperties = 4;

std::uint8_t eventType(const xcb_generic_event_t& event) {
  return event.response_type & 0x7F;
}

// X timestamps are milliseconds that wrap after 49 days.
bool notBefore(xcb_timestamp_t time, xcb_timestamp_t reference) {
  return static_cast<std::int32_t>(time - reference) >= 0;
}

struct Property {
  xcb_atom_t type = XCB_ATOM_NONE;
  std::string bytes;
};

// Reads a property of 8-bit data and deletes it, as a selection requestor must. Nothing when
// it is absent, of another format or larger than 16 MiB.
std::optional<Property> takeProperty(X11Connection& connection, xcb_window_t window,
                                     xcb_atom_t property) {
  constexpr std::uint32_t kMaxLongs = 4 * 1024 * 1024;
  XcbReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(connection.get(),
                             xcb_get_property(connection.get(), 1, window, property,
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxLongs),
                             nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE || reply->bytes_after > 0)
    return std::nullopt;
  Property result{reply->type, {}};
  if (reply->type != connection.atom("INCR") && reply->format != 8)
    return std::nullopt;
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  result.bytes.assign(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  return result;
}

}  // namespace

class X11Pasteboard::Owner final : public X11EventThread::Handler {
 public:
  explicit Owner(std::string displayName)
      : thread_(std::move(displayName), "x11-clipboard", *this) {}

  void stop() { thread_.stop(); }

  bool setString(std::string_view text) {
    auto owned = std::make_shared<const std::string>(text);
    return thread_.call([&](X11Connection& connection) { return take(connection, owned); })
        .value_or(false);
  }

  std::optional<std::string> string() {
    return thread_.call([&](X11Connection& connection) { return read(connection); })
        .value_or(std::nullopt);
  }

  std::int64_t changeCount() {
    thread_.call([&](X11Connection& connection) { return thread_.roundTrip(connection); });
    return changeCount_.load();
  }

  bool connected(X11Connection& connection) override {
    for (auto [slot, name] : std::initializer_list<std::pair<xcb_atom_t*, const char*>>{
             {&atoms_.clipboard, "CLIPBOARD"},
             {&atoms_.utf8String, "UTF8_STRING"},
             {&atoms_.text, "TEXT"},
             {&atoms_.plainText, "text/plain;charset=utf-8"},
             {&atoms_.targets, "TARGETS"},
             {&atoms_.timestamp, "TIMESTAMP"},
             {&atoms_.incr, "INCR"},
             {&atoms_.serverTime, "_TAVOLIN_SERVER_TIME"}}) {
      *slot = connection.atom(name);
      if (*slot == XCB_ATOM_NONE)
        return false;
    }
    for (std::size_t i = 0; i < kReadProperties; ++i) {
      atoms_.readProperties[i] = connection.atom("_TAVOLIN_CLIPBOARD_" + std::to_string(i));
      if (atoms_.readProperties[i] == XCB_ATOM_NONE)
        return false;
    }

    xcb_connection_t* c = connection.get();
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c, 0, window_, connection.root(), -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    // Without XFixes only our own changes are counted.
    if (connection.hasExtension("XFIXES")) {
      XcbReply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
          c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
          nullptr));
      if (version) {
        xfixesFirstEvent_ = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
        xcb_xfixes_select_selection_input(
            c, window_, atoms_.clipboard,
            XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
      }
    }
    // The biggest ChangeProperty every client can take, less its header.
    chunkBytes_ = static_cast<std::size_t>(xcb_get_setup(c)->maximum_request_length) * 4 - 64;
    ++changeCount_;
    return connection.sync();
  }

  void disconnected() override {
    window_ = XCB_NONE;
    xfixesFirstEvent_.reset();
    text_.reset();
    transfers_.clear();
  }

  void handleEvent(X11Connection& connection, const xcb_generic_event_t& event) override {
    const std::uint8_t type = eventType(event);
    if (type == XCB_SELECTION_REQUEST) {
      answer(connection, reinterpret_cast<const xcb_selection_request_event_t&>(event));
    } else if (type == XCB_SELECTION_CLEAR) {
      const auto& clear = reinterpret_cast<const xcb_selection_clear_event_t&>(event);
      // A clear older than our latest take is about a previous ownership.
      if (clear.selection == atoms_.clipboard && notBefore(clear.time, acquiredAt_))
        text_.reset();
    } else if (type == XCB_PROPERTY_NOTIFY) {
      const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(event);
      if (notify.state == XCB_PROPERTY_DELETE)
        continueTransfer(connection, notify.window, notify.atom);
    } else if (xfixesFirstEvent_ && type == *xfixesFirstEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
      const auto& notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t&>(event);
      // Our own takes were counted when they were made.
      const bool ours = notify.subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER &&
                        notify.owner == window_;
      if (notify.selection == atoms_.clipboard && !ours)
        ++changeCount_;
    }
  }

  std::optional<Clock::time_point> nextDeadline() override {
    std::optional<Clock::time_point> earliest;
    for (const Transfer& transfer : transfers_) {
      const auto deadline = transfer.lastActivity + kTransferIdleLimit;
      if (!earliest || deadline < *earliest)
        earliest = deadline;
    }
    return earliest;
  }

  void deadlineReached(X11Connection& connection) override {
    const auto now = Clock::now();
    for (std::size_t i = 0; i < transfers_.size();) {
      if (transfers_[i].lastActivity + kTransferIdleLimit <= now) {
        endTransfer(connection, i);
      } else {
        ++i;
      }
    }
    xcb_flush(connection.get());
  }

 private:
  struct Atoms {
    xcb_atom_t clipboard = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;
    xcb_atom_t text = XCB_ATOM_NONE;
    xcb_atom_t plainText = XCB_ATOM_NONE;
    xcb_atom_t targets = XCB_ATOM_NONE;
    xcb_atom_t timestamp = XCB_ATOM_NONE;
    xcb_atom_t incr = XCB_ATOM_NONE;
    xcb_atom_t serverTime = XCB_ATOM_NONE;
    std::array<xcb_atom_t, kReadProperties> readProperties{};
  };

  // An INCR transfer: the requestor deletes the property to ask for the next chunk, and a
  // chunk of length zero ends it.
  struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> data;
    std::size_t offset;
    Clock::time_point lastActivity;
  };

  // The server's current time: a zero-length append to our own window comes back with it.
  std::optional<xcb_timestamp_t> serverTime(X11Connection& connection) {
    xcb_change_property(connection.get(), XCB_PROP_MODE_APPEND, window_, atoms_.serverTime,
                        XCB_ATOM_INTEGER, 8, 0, nullptr);
    auto event = thread_.waitForEvent(
        connection,
        [&](const xcb_generic_event_t& candidate) {
          if (eventType(candidate) != XCB_PROPERTY_NOTIFY)
            return false;
          const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(candidate);
          return notify.window == window_ && notify.atom == atoms_.serverTime;
        },
        kServerTimeTimeout);
    if (!event)
      return std::nullopt;
    return reinterpret_cast<const xcb_property_notify_event_t&>(*event).time;
  }

  bool take(X11Connection& connection, std::shared_ptr<const std::string> text) {
    // Selection owners must name the time they took it; a clear that is older belongs to a
    // previous take.
    const auto now = serverTime(connection);
    if (!now)
      return false;
    xcb_connection_t* c = connection.get();
    xcb_set_selection_owner(c, window_, atoms_.clipboard, *now);
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms_.clipboard), nullptr));
    if (!owner || owner->owner != window_) {
      text_.reset();
      return false;
    }
    text_ = std::move(text);
    acquiredAt_ = *now;
    ++changeCount_;
    return true;
  }

  std::optional<std::string> read(X11Connection& connection) {
    // A clear already sent by the server must be seen before our own text is trusted.
    if (!thread_.roundTrip(connection) || window_ == XCB_NONE)
      return std::nullopt;
    if (text_)
      return *text_;
    xcb_connection_t* c = connection.get();
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms_.clipboard), nullptr));
    if (!owner || owner->owner == XCB_NONE)
      return std::nullopt;

    const auto deadline = Clock::now() + readTimeout;
    for (xcb_atom_t target : {atoms_.utf8String, static_cast<xcb_atom_t>(XCB_ATOM_STRING)}) {
      auto property = convert(connection, target, deadline);
      if (!property)
        continue;
      if (property->type == XCB_ATOM_STRING)
        return latin1ToUTF8(byteSpan(property->bytes));
      if (property->type == atoms_.utf8String || property->type == atoms_.plainText ||
          property->type == atoms_.text) {
        if (!isValidUTF8(property->bytes))
          return std::nullopt;
        return std::move(property->bytes);
      }
    }
    return std::nullopt;
  }

  // Asks the owner for `target` and collects the answer, incrementally when it says INCR.
  std::optional<Property> convert(X11Connection& connection, xcb_atom_t target,
                                  Clock::time_point deadline) {
    xcb_connection_t* c = connection.get();
    const xcb_atom_t property = atoms_.readProperties[readSerial_++ % kReadProperties];
    xcb_delete_property(c, window_, property);
    xcb_convert_selection(c, window_, atoms_.clipboard, target, property, XCB_CURRENT_TIME);
    auto notified = thread_.waitForEvent(
        connection,
        [&](const xcb_generic_event_t& event) {
          if (eventType(event) != XCB_SELECTION_NOTIFY)
            return false;
          const auto& notify = reinterpret_cast<const xcb_selection_notify_event_t&>(event);
          return notify.requestor == window_ && notify.selection == atoms_.clipboard &&
                 notify.target == target &&
                 (notify.property == property || notify.property == XCB_ATOM_NONE);
        },
        deadline - Clock::now());
    if (!notified ||
        reinterpret_cast<const xcb_selection_notify_event_t&>(*notified).property == XCB_NONE)
      return std::nullopt;
    auto answer = takeProperty(connection, window_, property);
    if (!answer || answer->type != atoms_.incr)
      return answer;

    // Deleting the INCR property (done by takeProperty) asks for the first chunk.
    Property collected;
    for (;;) {
      auto changed = thread_.waitForEvent(
          connection,
          [&](const xcb_generic_event_t& event) {
            if (eventType(event) != XCB_PROPERTY_NOTIFY)
              return false;
            const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(event);
            return notify.window == window_ && notify.atom == property &&
                   notify.state == XCB_PROPERTY_NEW_VALUE;
          },
          deadline - Clock::now());
      if (!changed)
        return std::nullopt;
      auto chunk = takeProperty(connection, window_, property);
      if (!chunk)
        return std::nullopt;
      if (chunk->bytes.empty())
        return collected;
      if (collected.bytes.size() + chunk->bytes.size() > maxReadBytes)
        return std::nullopt;
      collected.type = chunk->type;
      collected.bytes += chunk->bytes;
    }
  }

  void answer(X11Connection& connection, const xcb_selection_request_event_t& request) {
    xcb_connection_t* c = connection.get();
    // Obsolete clients name no property: the target doubles as one.
    const xcb_atom_t property =
        request.property == XCB_ATOM_NONE ? request.target : request.property;
    const bool serving = text_ && request.owner == window_ &&
                         request.selection == atoms_.clipboard &&
                         (request.time == XCB_CURRENT_TIME || notBefore(request.time, acquiredAt_));
    bool answered = false;
    if (serving) {
      const xcb_atom_t target = request.target;
      if (target == atoms_.targets) {
        const std::array<xcb_atom_t, 6> targets{atoms_.targets,    atoms_.timestamp,
                                                atoms_.utf8String, atoms_.plainText,
                                                atoms_.text,       XCB_ATOM_STRING};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM,
                            32, targets.size(), targets.data());
        answered = true;
      } else if (target == atoms_.timestamp) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER,
                            32, 1, &acquiredAt_);
        answered = true;
      } else if (target == atoms_.utf8String || target == atoms_.plainText ||
                 target == atoms_.text) {
        const xcb_atom_t type = target == atoms_.text ? atoms_.utf8String : target;
        answered = send(connection, request.requestor, property, type, text_);
      } else if (target == XCB_ATOM_STRING) {
        answered = send(connection, request.requestor, property, XCB_ATOM_STRING,
                        std::make_shared<const std::string>(utf8ToLatin1(*text_)));
      }
    }
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = answered ? property : xcb_atom_t{XCB_ATOM_NONE};
    xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&notify));
    xcb_flush(c);
  }

  bool send(X11Connection& connection, xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
            std::shared_ptr<const std::string> data) {
    xcb_connection_t* c = connection.get();
    if (data->size() <= chunkBytes_) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                          static_cast<std::uint32_t>(data->size()), data->data());
      return true;
    }
    // A new request for the same property replaces the transfer in progress.
    for (std::size_t i = 0; i < transfers_.size(); ++i) {
      if (transfers_[i].requestor == requestor && transfers_[i].property == property) {
        transfers_.erase(transfers_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &mask);
    const auto lowerBound = static_cast<std::uint32_t>(
        std::min<std::size_t>(data->size(), std::numeric_limits<std::uint32_t>::max()));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, atoms_.incr, 32, 1,
                        &lowerBound);
    transfers_.push_back({requestor, property, type, std::move(data), 0, Clock::now()});
    return true;
  }

  void continueTransfer(X11Connection& connection, xcb_window_t window, xcb_atom_t property) {
    auto found = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& transfer) {
      return transfer.requestor == window && transfer.property == property;
    });
    if (found == transfers_.end())
      return;
    const std::size_t length = std::min(chunkBytes_, found->data->size() - found->offset);
    xcb_change_property(connection.get(), XCB_PROP_MODE_REPLACE, window, property, found->type, 8,
                        static_cast<std::uint32_t>(length), found->data->data() + found->offset);
    found->offset += length;
    found->lastActivity = Clock::now();
    if (length == 0)
      endTransfer(connection, static_cast<std::size_t>(found - transfers_.begin()));
    xcb_flush(connection.get());
  }

  void endTransfer(X11Connection& connection, std::size_t index) {
    const xcb_window_t requestor = transfers_[index].requestor;
    transfers_.erase(transfers_.begin() + static_cast<std::ptrdiff_t>(index));
    const bool stillTransferring =
        std::any_of(transfers_.begin(), transfers_.end(),
                    [&](const Transfer& transfer) { return transfer.requestor == requestor; });
    if (!stillTransferring) {
      const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
      xcb_change_window_attributes(connection.get(), requestor, XCB_CW_EVENT_MASK, &none);
    }
  }

  // Thread-confined to the event thread.
  Atoms atoms_;
  xcb_window_t window_ = XCB_NONE;
  std::optional<std::uint8_t> xfixesFirstEvent_;
  std::size_t chunkBytes_ = 0;
  // Set while we own the clipboard.
  std::shared_ptr<const std::string> text_;
  xcb_timestamp_t acquiredAt_ = XCB_CURRENT_TIME;
  std::vector<Transfer> transfers_;
  std::size_t readSerial_ = 0;

  std::atomic<std::int64_t> changeCount_{0};
  // Last: it calls the handler as soon as it runs.
  X11EventThread thread_;
};

X11Pasteboard::X11Pasteboard(std::string displayName)
    : owner_(std::make_unique<Owner>(std::move(displayName))) {}

X11Pasteboard::~X11Pasteboard() {
  owner_->stop();
}

bool X11Pasteboard::setString(std::string_view text) {
  return owner_->setString(text);
}

std::optional<std::string> X11Pasteboard::string() {
  return owner_->string();
}

std::int64_t X11Pasteboard::changeCount() {
  return owner_->changeCount();
}

}  // namespace tavolin
