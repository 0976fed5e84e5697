#pragma once

// What both streaming publishers do with the controller's text messages on the commands and
// input channels (pings and direct commands), and the clipboard updates they send. Main actor
// only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Runtime/AsyncQueue.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/Pasteboard.hpp"

namespace tavolin {

class DirectChannelMessages {
 public:
  // Sends a text reply on the commands channel; false when the channel is missing or not open.
  using Reply = std::function<bool(std::string_view text)>;

  // `transport` tags every command result ("webrtc_data_channel", ...).
  DirectChannelMessages(std::string sessionId, std::shared_ptr<CommandExecutor> executor,
                        std::shared_ptr<const Clock> clock, std::string transport);

  // Called for "native_keyframe_request" of this session (or of none).
  std::function<void()> onKeyFrameRequest;

  // Handles one text message. Undecodable messages and those of another session are dropped
  // without a word; replies that cannot be sent are dropped, not queued.
  Awaitable<void> handle(std::span<const std::uint8_t> message, Reply reply);

 private:
  std::string sessionId_;
  std::shared_ptr<CommandExecutor> executor_;
  std::shared_ptr<const Clock> clock_;
  std::string transport_;
};

// The incoming messages of one channel, handled one after another in arrival order by one
// coroutine, so a slow command is never overtaken by the next one. push() may be called from
// any thread; destroying the inbox ends its coroutine.
class DirectChannelInbox {
 public:
  using Handle = std::function<Awaitable<void>(std::vector<std::uint8_t> message)>;

  DirectChannelInbox(Executor executor, std::string name, Handle handle);
  ~DirectChannelInbox();
  DirectChannelInbox(const DirectChannelInbox&) = delete;
  DirectChannelInbox& operator=(const DirectChannelInbox&) = delete;

  void push(std::span<const std::uint8_t> message);

 private:
  AsyncQueue<std::vector<std::uint8_t>> queue_;
  Task drain_;
};

// The clipboard half of the data channels: what to send on each 300 ms pass.
class ClipboardSync {
 public:
  static constexpr auto interval = std::chrono::milliseconds(300);

  ClipboardSync(std::shared_ptr<Pasteboard> pasteboard, std::shared_ptr<const Clock> clock);

  // The update to send, if the clipboard changed since the last one (by change count, then by
  // text). `forced` (when the channel opens) skips both comparisons.
  std::optional<ClipboardDataChannelMessage> nextUpdate(bool forced);

 private:
  std::shared_ptr<Pasteboard> pasteboard_;
  std::shared_ptr<const Clock> clock_;
  std::optional<std::int64_t> lastChangeCount_;
  std::optional<std::string> lastText_;
};

}  // namespace tavolin
