#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xcb.h>

#include "TavolinMacAgent/Platform/X11/X11Pasteboard.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Another application on the display, written against the selection protocol directly: it
// reads the clipboard as any toolkit would, incrementally when told INCR, and can copy text of
// its own.
class ClipboardClient {
 public:
  struct Reply {
    std::string type;
    std::string bytes;
    bool incremental = false;
  };

  explicit ClipboardClient(const std::string& displayName)
      : connection_(xcb_connect(displayName.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_))
      throw std::runtime_error("cannot connect to " + displayName);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection_, 0, window_, screen_->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    clipboard_ = atom("CLIPBOARD");
    property_ = atom("TEST_CLIPBOARD_READ");
  }

  ~ClipboardClient() { xcb_disconnect(connection_); }

  xcb_atom_t atom(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return result;
  }

  std::string atomName(xcb_atom_t atom) {
    auto* reply =
        xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr);
    std::string name(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
    free(reply);
    return name;
  }

  std::size_t maximumRequestBytes() const {
    return xcb_get_setup(connection_)->maximum_request_length * 4u;
  }

  // The clipboard converted to `target`, or nothing when the owner refused.
  std::optional<Reply> convert(const std::string& target) {
    const xcb_atom_t targetAtom = atom(target);
    xcb_convert_selection(connection_, window_, clipboard_, targetAtom, property_,
                          XCB_CURRENT_TIME);
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

  // Copies `text`: takes the clipboard and serves it while serving, as UTF8_STRING, or only as
  // STRING (the bytes as given, Latin-1) like an old application.
  void copy(std::string text, bool latin1Only = false) {
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

  // Answers selection requests until `done` is true.
  void serveUntil(const std::function<bool()>& done) {
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

 private:
  using Event = std::unique_ptr<xcb_generic_event_t, decltype(&free)>;

  Event nextEvent(const std::function<bool(const xcb_generic_event_t&)>& match,
                  Clock::duration timeout = 10s) {
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

  std::pair<xcb_atom_t, std::string> takeProperty() {
    auto* reply = xcb_get_property_reply(connection_,
                                         xcb_get_property(connection_, 1, window_, property_,
                                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 24),
                                         nullptr);
    if (!reply)
      throw std::runtime_error("property unreadable");
    std::pair<xcb_atom_t, std::string> result{
        reply->type, std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                                 static_cast<std::size_t>(xcb_get_property_value_length(reply)))};
    free(reply);
    return result;
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  xcb_window_t window_;
  xcb_atom_t clipboard_;
  xcb_atom_t property_;
  std::string text_;
  bool latin1Only_ = false;
};

class X11PasteboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new testing::XvfbServer(); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  // Reads `pasteboard` while `client` answers its requests.
  static std::optional<std::string> readWhileServing(X11Pasteboard& pasteboard,
                                                     ClipboardClient& client) {
    auto reading = std::async(std::launch::async, [&] { return pasteboard.string(); });
    client.serveUntil([&] { return reading.wait_for(0s) == std::future_status::ready; });
    return reading.get();
  }

  static testing::XvfbServer* server;
  X11Pasteboard pasteboard{server->displayName()};
  ClipboardClient client{server->displayName()};
};

testing::XvfbServer* X11PasteboardTest::server = nullptr;

TEST_F(X11PasteboardTest, OurText_IsReadByAnotherClientInEveryTextTarget) {
  const std::string text = "héllo wörld ✓ 日本\nline two";
  const std::int64_t before = pasteboard.changeCount();
  ASSERT_TRUE(pasteboard.setString(text));
  EXPECT_GT(pasteboard.changeCount(), before);
  EXPECT_EQ(pasteboard.string(), text);

  for (const std::string target : {"UTF8_STRING", "text/plain;charset=utf-8", "TEXT"}) {
    const auto reply = client.convert(target);
    ASSERT_TRUE(reply) << target;
    EXPECT_EQ(reply->bytes, text) << target;
    EXPECT_FALSE(reply->incremental);
  }
  const auto latin1 = client.convert("STRING");
  ASSERT_TRUE(latin1);
  EXPECT_EQ(latin1->type, "STRING");
  EXPECT_EQ(latin1->bytes, "h\xe9llo w\xf6rld ? ??\nline two");

  const auto targets = client.convert("TARGETS");
  ASSERT_TRUE(targets);
  EXPECT_EQ(targets->type, "ATOM");
  std::vector<std::string> names;
  for (std::size_t i = 0; i + 4 <= targets->bytes.size(); i += 4) {
    xcb_atom_t atom;
    std::memcpy(&atom, targets->bytes.data() + i, 4);
    names.push_back(client.atomName(atom));
  }
  for (const char* expected :
       {"TARGETS", "UTF8_STRING", "STRING", "TEXT", "text/plain;charset=utf-8"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;

  EXPECT_FALSE(client.convert("image/png"));

  ASSERT_TRUE(pasteboard.setString(""));
  const auto empty = client.convert("UTF8_STRING");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->bytes, "");
}

TEST_F(X11PasteboardTest, TextBeyondTheRequestSize_IsSentIncrementally) {
  std::string text;
  while (text.size() < client.maximumRequestBytes() * 2 + 1000)
    text += "Zeile " + std::to_string(text.size()) + " — äöü ✓\n";
  ASSERT_TRUE(pasteboard.setString(text));

  const auto reply = client.convert("UTF8_STRING");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->incremental);
  EXPECT_EQ(reply->type, "UTF8_STRING");
  EXPECT_EQ(reply->bytes.size(), text.size());
  EXPECT_TRUE(reply->bytes == text);

  // Our own reader takes the same route from another pasteboard.
  X11Pasteboard other(server->displayName());
  EXPECT_TRUE(other.string() == text);
}

TEST_F(X11PasteboardTest, AnotherClientsCopy_IsCountedAndRead) {
  ASSERT_TRUE(pasteboard.setString("ours"));
  const std::int64_t ours = pasteboard.changeCount();

  client.copy("theirs ✓");
  const std::int64_t theirs = pasteboard.changeCount();
  EXPECT_GT(theirs, ours);
  EXPECT_EQ(readWhileServing(pasteboard, client), "theirs ✓");

  // The same owner copying again is a change too.
  client.copy("theirs again");
  EXPECT_GT(pasteboard.changeCount(), theirs);
  EXPECT_EQ(readWhileServing(pasteboard, client), "theirs again");

  // An application that offers only STRING is read as Latin-1.
  client.copy(
      "Gr\xfc\xdf"
      "e",
      true);
  EXPECT_EQ(readWhileServing(pasteboard, client), "Grüße");

  // Taking it back serves our text again.
  ASSERT_TRUE(pasteboard.setString("ours again"));
  EXPECT_EQ(pasteboard.string(), "ours again");
  const auto reply = client.convert("UTF8_STRING");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->bytes, "ours again");
}

TEST(X11PasteboardDisplayLoss, CallsAfterTheServerWentAway_FailWithoutHanging) {
  auto server = std::make_unique<testing::XvfbServer>();
  X11Pasteboard pasteboard(server->displayName());
  ASSERT_TRUE(pasteboard.setString("before"));
  const std::int64_t count = pasteboard.changeCount();
  server.reset();

  EXPECT_FALSE(pasteboard.setString("after"));
  EXPECT_EQ(pasteboard.string(), std::nullopt);
  EXPECT_GE(pasteboard.changeCount(), count);
}

}  // namespace
}  // namespace tavolin
