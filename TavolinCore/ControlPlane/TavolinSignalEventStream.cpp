#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

namespace tavolin {

TavolinSignalEventStreamError TavolinSignalEventStreamError::httpStatus(int status) {
  return TavolinSignalEventStreamError(
      Kind::httpStatus, "The signal event stream returned HTTP " + std::to_string(status) + ".",
      status);
}

TavolinSignalEventStreamError TavolinSignalEventStreamError::invalidResponse() {
  return TavolinSignalEventStreamError(Kind::invalidResponse,
                                       "The signal event stream returned an invalid response.", 0);
}

// Framing.

std::optional<TavolinSignalEvent> SignalEventLineParser::feedLine(std::string_view line) {
  if (line.empty())
    return dispatch();
  if (line.front() == ':')
    return std::nullopt;

  const auto colon = line.find(':');
  const std::string_view field = line.substr(0, colon);
  std::string_view value;
  if (colon != std::string_view::npos) {
    value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ')
      value.remove_prefix(1);
  }

  if (field == "event") {
    eventName_ = std::string(value);
  } else if (field == "data" && !oversized_) {
    // Counting the joining newline too keeps the bound on what dispatch() builds.
    dataBytes_ += value.size() + 1;
    if (dataBytes_ > maxEventDataBytes) {
      oversized_ = true;
      dataLines_.clear();
    } else {
      dataLines_.emplace_back(value);
    }
  }
  return std::nullopt;
}

std::optional<TavolinSignalEvent> SignalEventLineParser::finish() {
  if (dataLines_.empty()) {
    eventName_.reset();
    oversized_ = false;
    dataBytes_ = 0;
    return std::nullopt;
  }
  return dispatch();
}

std::optional<TavolinSignalEvent> SignalEventLineParser::dispatch() {
  std::optional<TavolinSignalEvent> event;
  if (!oversized_) {
    std::string data;
    for (std::size_t i = 0; i < dataLines_.size(); ++i) {
      if (i > 0)
        data += '\n';
      data += dataLines_[i];
    }
    event = TavolinSignalEventStream::parse(eventName_, data);
  }
  eventName_.reset();
  dataLines_.clear();
  dataBytes_ = 0;
  oversized_ = false;
  return event;
}

namespace TavolinSignalEventStream {

std::optional<TavolinSignalEvent> parse(const std::optional<std::string>& eventName,
                                        std::string_view data) {
  if (data.empty())
    return std::nullopt;
  const std::string_view name = eventName ? std::string_view(*eventName) : "message";
  if (name == "error")
    return TavolinSignalEvent::error(std::string(data));

  SignalEventEnvelope envelope;
  try {
    envelope = decodeJSON<SignalEventEnvelope>(data);
  } catch (const std::exception&) {
    // One malformed event must not end a stream that is otherwise fine.
    return std::nullopt;
  }
  if (name == "ready")
    return TavolinSignalEvent::ready(envelope.afterSequence.value_or(0), envelope.sentAt);
  if (name == "heartbeat")
    return TavolinSignalEvent::heartbeat(envelope.afterSequence.value_or(0), envelope.sentAt);
  if (name == "close") {
    return TavolinSignalEvent::close(envelope.afterSequence.value_or(0), envelope.sentAt,
                                     envelope.reason);
  }
  if (envelope.signal)
    return TavolinSignalEvent::signal(std::move(*envelope.signal));
  return std::nullopt;
}

namespace {

using Item = TavolinSignalEventSequence::Item;

Awaitable<void> readStream(AsyncQueue<Item> queue, HTTPRequest request,
                           std::shared_ptr<HTTPClient> session) {
  try {
    auto stream = co_await session->stream(std::move(request));
    if (stream.status() < 200 || stream.status() > 299) {
      queue.push(
          std::make_exception_ptr(TavolinSignalEventStreamError::httpStatus(stream.status())));
      queue.finish();
      co_return;
    }
    SignalEventLineParser parser;
    for (;;) {
      // Lines already buffered come back without an I/O wait, so cancellation is checked here
      // as well as by the reads themselves.
      const auto state = co_await asio::this_coro::cancellation_state;
      if (state.cancelled() != asio::cancellation_type::none) {
        queue.finish();
        co_return;
      }
      auto line = co_await stream.nextLine();
      if (!line)
        break;
      if (auto event = parser.feedLine(*line))
        queue.push(std::move(*event));
    }
    if (auto event = parser.finish())
      queue.push(std::move(*event));
  } catch (const HTTPMalformedResponse&) {
    queue.push(std::make_exception_ptr(TavolinSignalEventStreamError::invalidResponse()));
  } catch (const boost::system::system_error& error) {
    if (error.code() != asio::error::operation_aborted)
      queue.push(std::current_exception());
  } catch (...) {
    queue.push(std::current_exception());
  }
  queue.finish();
}

}  // namespace

TavolinSignalEventSequence events(Executor executor, HTTPRequest request,
                                  std::shared_ptr<HTTPClient> session) {
  AsyncQueue<Item> queue(executor);
  Task reader = Task::spawn(executor, "signal-event-stream",
                            [queue, request = std::move(request), session = std::move(session)] {
                              return readStream(queue, request, session);
                            });
  return TavolinSignalEventSequence(std::move(queue), std::move(reader));
}

}  // namespace TavolinSignalEventStream

// The consumer's side.

TavolinSignalEventSequence::TavolinSignalEventSequence(AsyncQueue<Item> queue, Task reader)
    : queue_(std::move(queue)), reader_(std::move(reader)) {}

TavolinSignalEventSequence& TavolinSignalEventSequence::operator=(
    TavolinSignalEventSequence&& other) noexcept {
  if (this != &other) {
    reader_.cancel();
    queue_ = std::move(other.queue_);
    reader_ = std::move(other.reader_);
  }
  return *this;
}

TavolinSignalEventSequence::~TavolinSignalEventSequence() {
  reader_.cancel();
}

Awaitable<std::optional<TavolinSignalEvent>> TavolinSignalEventSequence::next() {
  auto item = co_await queue_.next();
  if (!item)
    co_return std::nullopt;
  if (auto* failure = std::get_if<std::exception_ptr>(&*item))
    std::rethrow_exception(*failure);
  co_return std::get<TavolinSignalEvent>(std::move(*item));
}

}  // namespace tavolin
