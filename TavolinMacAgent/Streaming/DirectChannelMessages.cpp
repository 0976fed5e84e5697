#include "TavolinMacAgent/Streaming/DirectChannelMessages.hpp"

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin {
namespace {

template <class Record>
std::optional<Record> decoded(std::string_view text) {
  try {
    return decodeJSON<Record>(text);
  } catch (const JSONDecodingError&) {
    return std::nullopt;
  }
}

}  // namespace

DirectChannelMessages::DirectChannelMessages(std::string sessionId,
                                             std::shared_ptr<CommandExecutor> executor,
                                             std::shared_ptr<const Clock> clock,
                                             std::string transport)
    : sessionId_(std::move(sessionId)),
      executor_(std::move(executor)),
      clock_(std::move(clock)),
      transport_(std::move(transport)) {}

Awaitable<void> DirectChannelMessages::handle(std::span<const std::uint8_t> message, Reply reply) {
  namespace Type = TavolinDataChannelMessageType;
  const std::string text(message.begin(), message.end());
  const auto envelope = decoded<TavolinDataChannelEnvelope>(text);
  if (!envelope)
    co_return;

  if (envelope->type == Type::nativeKeyframeRequest) {
    if ((!envelope->sessionId || *envelope->sessionId == sessionId_) && onKeyFrameRequest)
      onKeyFrameRequest();
    co_return;
  }
  if (envelope->type == Type::ping) {
    const auto ping = decoded<TavolinDirectPingMessage>(text);
    if (!ping || ping->sessionId != sessionId_)
      co_return;
    const std::string now = TavolinISO8601::string(clock_->now());
    reply(encodeJSON(TavolinDirectPongMessage{
        .pingId = ping->pingId, .sessionId = sessionId_, .receivedAt = now, .sentAt = now}));
    co_return;
  }
  if (envelope->type != Type::command)
    co_return;
  const auto command = decoded<TavolinDirectCommandMessage>(text);
  if (!command || command->type != Type::command || command->sessionId != sessionId_)
    co_return;
  const std::string receivedAt = TavolinISO8601::string(clock_->now());
  CompleteCommandPayload completion =
      co_await executor_->handle(sessionId_, command->commandType, command->payload);
  completion.result.set("transport", transport_);
  if (!command->expectsResult)
    co_return;
  reply(encodeJSON(
      TavolinDirectCommandResultMessage{.commandId = command->commandId,
                                        .sessionId = sessionId_,
                                        .status = std::move(completion.status),
                                        .result = std::move(completion.result),
                                        .receivedAt = receivedAt,
                                        .completedAt = TavolinISO8601::string(clock_->now())}));
}

DirectChannelInbox::DirectChannelInbox(Executor executor, std::string name, Handle handle)
    : queue_(executor) {
  drain_ =
      Task::spawn(executor, name,
                  [queue = queue_, name, handle = std::move(handle)]() mutable -> Awaitable<void> {
                    while (auto message = co_await queue.next()) {
                      // One bad message must not stop the channel's intake.
                      try {
                        co_await handle(std::move(*message));
                      } catch (const std::exception& error) {
                        if (isCancellation(error))
                          throw;
                        reportTaskFailure(name, std::current_exception());
                      }
                    }
                  });
}

DirectChannelInbox::~DirectChannelInbox() {
  queue_.finish();
  drain_.cancel();
}

void DirectChannelInbox::push(std::span<const std::uint8_t> message) {
  queue_.push(std::vector<std::uint8_t>(message.begin(), message.end()));
}

ClipboardSync::ClipboardSync(std::shared_ptr<Pasteboard> pasteboard,
                             std::shared_ptr<const Clock> clock)
    : pasteboard_(std::move(pasteboard)), clock_(std::move(clock)) {}

std::optional<ClipboardDataChannelMessage> ClipboardSync::nextUpdate(bool forced) {
  const std::int64_t changeCount = pasteboard_->changeCount();
  if (!forced && lastChangeCount_ == changeCount)
    return std::nullopt;
  lastChangeCount_ = changeCount;
  auto text = pasteboard_->string();
  if (!text || (!forced && lastText_ == text))
    return std::nullopt;
  lastText_ = text;
  return ClipboardDataChannelMessage{.text = std::move(*text),
                                     .changeCount = changeCount,
                                     .sentAt = TavolinISO8601::string(clock_->now())};
}

}  // namespace tavolin
