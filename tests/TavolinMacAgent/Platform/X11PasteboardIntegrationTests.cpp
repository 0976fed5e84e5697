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
#include <xcb/xcb.h>

#include "TavolinMacAgent/Platform/X11/X11Pasteboard.hpp"
#include "tests/support/X11ClipboardClient.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

class X11PasteboardTest : public testing::XvfbSuite {
 protected:
  // Reads `pasteboard` while `client` answers its requests.
  static std::optional<std::string> readWhileServing(X11Pasteboard& pasteboard,
                                                     testing::X11ClipboardClient& client) {
    auto reading = std::async(std::launch::async, [&] { return pasteboard.string(); });
    client.serveUntil([&] { return reading.wait_for(0s) == std::future_status::ready; });
    return reading.get();
  }

  X11Pasteboard pasteboard{display->displayName()};
  testing::X11ClipboardClient client{display->displayName()};
};

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
  X11Pasteboard other(display->displayName());
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
