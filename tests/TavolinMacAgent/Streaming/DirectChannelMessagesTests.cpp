#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"
#include "TavolinMacAgent/Platform/Fake/FakePasteboard.hpp"
#include "TavolinMacAgent/Streaming/DirectChannelMessages.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/SealingController.hpp"

namespace tavolin {
namespace {

class DirectChannelMessagesTest : public ::testing::Test {
 protected:
  DirectChannelMessagesTest() {
    executor->registerHandler("count",
                              [this](const JSONObject&) -> Awaitable<CompleteCommandPayload> {
                                ++executed;
                                co_return CommandResults::succeeded({{"count", executed}});
                              });
  }

  // The replies sent for one incoming message.
  std::vector<std::string> handle(const std::string& text, bool channelOpen = true) {
    std::vector<std::string> replies;
    testing::runAwaitable(messages.handle(byteSpan(text), [&](std::string_view reply) {
      if (channelOpen)
        replies.emplace_back(reply);
      return channelOpen;
    }));
    return replies;
  }

  std::string command(std::string type, JSONObject payload, bool expectsResult,
                      std::string session = "S", std::string commandId = "c1") {
    return encodeJSON(TavolinDirectCommandMessage{.commandId = commandId,
                                                  .sessionId = std::move(session),
                                                  .commandType = std::move(type),
                                                  .payload = std::move(payload),
                                                  .idempotencyKey = commandId,
                                                  .expectsResult = expectsResult,
                                                  .sentAt = "t"});
  }

  std::shared_ptr<MemoryTokenStore> store = std::make_shared<MemoryTokenStore>();
  std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
  std::shared_ptr<CommandExecutor> executor = std::make_shared<CommandExecutor>(store, *clock);
  DirectChannelMessages messages{"S", executor, clock, "webrtc_data_channel"};
  int executed = 0;
};

TEST_F(DirectChannelMessagesTest, PingGetsPongOnlyForThisSession) {
  const auto replies = handle(R"({"type":"ping","pingId":"p9","sessionId":"S","sentAt":"t"})");
  ASSERT_EQ(replies.size(), 1u);
  const auto pong = decodeJSON<TavolinDirectPongMessage>(replies[0]);
  EXPECT_EQ(pong.type, "pong");
  EXPECT_EQ(pong.pingId, "p9");
  EXPECT_EQ(pong.receivedAt, TavolinISO8601::string(clock->now()));
  EXPECT_TRUE(handle(R"({"type":"ping","pingId":"p9","sessionId":"X","sentAt":"t"})").empty());
  EXPECT_TRUE(handle(R"({"type":"ping","pingId":"p9"})").empty());
  EXPECT_TRUE(handle("not json at all").empty());
}

TEST_F(DirectChannelMessagesTest, CommandsRunAndAnswerOnlyWhenAskedAndForThisSession) {
  const auto replies = handle(command("count", {}, true));
  ASSERT_EQ(replies.size(), 1u);
  const auto result = decodeJSON<TavolinDirectCommandResultMessage>(replies[0]);
  EXPECT_EQ(result.commandId, "c1");
  EXPECT_EQ(result.status, "succeeded");
  EXPECT_EQ(*result.result.find("transport")->string(), "webrtc_data_channel");

  EXPECT_TRUE(handle(command("count", {}, false)).empty());
  EXPECT_TRUE(handle(command("count", {}, true, "OTHER")).empty());
  // A closed channel drops the reply; the command still ran.
  EXPECT_TRUE(handle(command("count", {}, true), /*channelOpen=*/false).empty());
  EXPECT_EQ(executed, 3);

  const auto unknown = handle(command("nope", {}, true));
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(decodeJSON<TavolinDirectCommandResultMessage>(unknown[0]).status, "failed");
}

TEST_F(DirectChannelMessagesTest, EncryptedCommandsGoThroughTheSessionIntake) {
  const DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  const testing::SealingController controller{agent.publicKeyBase64URL()};
  const TavolinPlainCommandEnvelope envelope{.type = "count",
                                             .payload = {},
                                             .sessionId = "S",
                                             .commandId = "e1",
                                             .sentAt = TavolinISO8601::string(clock->now())};
  const auto replies = handle(command("encrypted_command", controller.seal(envelope), true));
  ASSERT_EQ(replies.size(), 1u);
  const auto result = decodeJSON<TavolinDirectCommandResultMessage>(replies[0]);
  EXPECT_EQ(result.status, "succeeded");
  EXPECT_TRUE(*result.result.find("encrypted")->boolean());
  EXPECT_EQ(executed, 1);
}

TEST_F(DirectChannelMessagesTest, KeyFrameRequestsForThisSessionOrNone) {
  int requests = 0;
  messages.onKeyFrameRequest = [&] { ++requests; };
  handle(R"({"type":"native_keyframe_request"})");
  handle(R"({"type":"native_keyframe_request","sessionId":"S"})");
  handle(R"({"type":"native_keyframe_request","sessionId":"X"})");
  EXPECT_EQ(requests, 2);
}

// Every message on a channel is handled after the one before it has answered.
TEST_F(DirectChannelMessagesTest, SlowCommandAnswersBeforeTheFastOneBehindIt) {
  std::vector<std::string> replies;
  asio::io_context context;
  executor->registerHandler("slow", [&](const JSONObject&) -> Awaitable<CompleteCommandPayload> {
    // Many turns of the loop in which a later message could overtake this one.
    for (int i = 0; i < 20; ++i)
      co_await asio::post(context.get_executor(), asio::use_awaitable);
    co_return CommandResults::succeeded({});
  });
  {
    DirectChannelInbox inbox(context.get_executor(), "test-channel",
                             [&](std::vector<std::uint8_t> message) -> Awaitable<void> {
                               co_await messages.handle(message, [&](std::string_view reply) {
                                 replies.emplace_back(reply);
                                 return true;
                               });
                             });
    inbox.push(byteSpan(command("slow", {}, true, "S", "first")));
    inbox.push(byteSpan(command("count", {}, true, "S", "second")));
    while (replies.size() < 2 && context.run_one() > 0) {
    }
  }
  context.run();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(decodeJSON<TavolinDirectCommandResultMessage>(replies[0]).commandId, "first");
  EXPECT_EQ(decodeJSON<TavolinDirectCommandResultMessage>(replies[1]).commandId, "second");
}

TEST(ClipboardSyncPasses, ChangeCountThenTextDecideUnlessForced) {
  auto pasteboard = std::make_shared<FakePasteboard>();
  ClipboardSync sync(pasteboard, std::make_shared<testing::ManualClock>());
  EXPECT_FALSE(sync.nextUpdate(false));  // nothing on the clipboard yet
  pasteboard->setString("one");
  const auto first = sync.nextUpdate(false);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->text, "one");
  EXPECT_EQ(first->type, "clipboard_update");
  EXPECT_FALSE(sync.nextUpdate(false));
  pasteboard->setString("one");  // counted as a change, same text
  EXPECT_FALSE(sync.nextUpdate(false));
  const auto forced = sync.nextUpdate(true);
  ASSERT_TRUE(forced);
  EXPECT_EQ(forced->changeCount, pasteboard->changeCount());
  pasteboard->setString("two");
  EXPECT_EQ(sync.nextUpdate(false)->text, "two");
}

}  // namespace
}  // namespace tavolin
