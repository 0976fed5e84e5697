#pragma once

// The control plane's server-sent-events stream of a session's signals. One stream per call;
// the consumer reconnects (with `after` = the highest sequence seen) when it wants to.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/AsyncQueue.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/Task.hpp"

namespace tavolin {

struct TavolinSignalEvent {
  // The stream is open; signals after this sequence follow.
  struct Ready {
    std::int64_t afterSequence{};
    std::optional<std::string> sentAt{};
    friend bool operator==(const Ready&, const Ready&) = default;
  };
  struct Signal {
    TavolinSignal signal{};
    friend bool operator==(const Signal&, const Signal&) = default;
  };
  // Keep-alive with the current position.
  struct Heartbeat {
    std::int64_t afterSequence{};
    std::optional<std::string> sentAt{};
    friend bool operator==(const Heartbeat&, const Heartbeat&) = default;
  };
  // The server is closing the stream.
  struct Close {
    std::int64_t afterSequence{};
    std::optional<std::string> sentAt{};
    std::optional<std::string> reason{};
    friend bool operator==(const Close&, const Close&) = default;
  };
  // A server-reported error; `message` is the event's raw data text.
  struct Error {
    std::string message{};
    friend bool operator==(const Error&, const Error&) = default;
  };

  static TavolinSignalEvent ready(std::int64_t afterSequence, std::optional<std::string> sentAt) {
    return {Ready{afterSequence, std::move(sentAt)}};
  }
  static TavolinSignalEvent signal(TavolinSignal signal) { return {Signal{std::move(signal)}}; }
  static TavolinSignalEvent heartbeat(std::int64_t afterSequence,
                                      std::optional<std::string> sentAt) {
    return {Heartbeat{afterSequence, std::move(sentAt)}};
  }
  static TavolinSignalEvent close(std::int64_t afterSequence, std::optional<std::string> sentAt,
                                  std::optional<std::string> reason) {
    return {Close{afterSequence, std::move(sentAt), std::move(reason)}};
  }
  static TavolinSignalEvent error(std::string message) { return {Error{std::move(message)}}; }

  std::variant<Ready, Signal, Heartbeat, Close, Error> value;

  friend bool operator==(const TavolinSignalEvent&, const TavolinSignalEvent&) = default;
};

// The JSON carried in an event's data.
struct SignalEventEnvelope {
  std::optional<TavolinSignal> signal{};
  std::optional<std::int64_t> afterSequence{};
  std::optional<std::string> sentAt{};
  std::optional<std::string> reason{};

  friend bool operator==(const SignalEventEnvelope&, const SignalEventEnvelope&) = default;
};
BOOST_DESCRIBE_STRUCT(SignalEventEnvelope, (), (signal, afterSequence, sentAt, reason))

class TavolinSignalEventStreamError : public TavolinError {
 public:
  enum class Kind { httpStatus, invalidResponse };

  static TavolinSignalEventStreamError httpStatus(int status);
  static TavolinSignalEventStreamError invalidResponse();

  Kind kind() const { return kind_; }
  // The HTTP status for httpStatus, else 0.
  int status() const { return status_; }

 private:
  TavolinSignalEventStreamError(Kind kind, std::string description, int status)
      : TavolinError(std::move(description)), kind_(kind), status_(status) {}

  Kind kind_;
  int status_;
};

// Server-sent-events framing, fed one line at a time (without its terminator). Bytes in,
// events out: no I/O, so it runs the same under test, fuzzing and a live stream.
class SignalEventLineParser {
 public:
  // An event's data lines together may not grow past this; a larger event is dropped whole.
  static constexpr std::size_t maxEventDataBytes = 16 * 1024 * 1024;

  // The event that this line dispatches (an empty line ends an event), if any.
  std::optional<TavolinSignalEvent> feedLine(std::string_view line);
  // At the end of the body: the pending event, when it has at least one data line.
  std::optional<TavolinSignalEvent> finish();

 private:
  std::optional<TavolinSignalEvent> dispatch();

  std::optional<std::string> eventName_;
  std::vector<std::string> dataLines_;
  std::size_t dataBytes_ = 0;
  bool oversized_ = false;
};

// The events of one stream as the consumer sees them. Move-only; dropping it cancels the task
// that reads the stream and closes the connection.
class TavolinSignalEventSequence {
 public:
  using Item = std::variant<TavolinSignalEvent, std::exception_ptr>;

  TavolinSignalEventSequence(AsyncQueue<Item> queue, Task reader);
  TavolinSignalEventSequence(TavolinSignalEventSequence&&) noexcept = default;
  TavolinSignalEventSequence& operator=(TavolinSignalEventSequence&&) noexcept;
  TavolinSignalEventSequence(const TavolinSignalEventSequence&) = delete;
  TavolinSignalEventSequence& operator=(const TavolinSignalEventSequence&) = delete;
  ~TavolinSignalEventSequence();

  // The next event in arrival order; nothing once the stream has ended normally. Throws the
  // error that ended it (TavolinSignalEventStreamError, or a transport error) once, after the
  // events before it. Await from one coroutine at a time, on the executor given to events().
  Awaitable<std::optional<TavolinSignalEvent>> next();

 private:
  AsyncQueue<Item> queue_;
  Task reader_;
};

namespace TavolinSignalEventStream {

// Opens the stream described by `request` (from agentSignalEventsRequest or
// controllerSignalEventsRequest) in a task on `executor`. A non-2xx status ends the sequence
// with httpStatus, a reply that is not HTTP with invalidResponse, a transport error with that
// error; the end of the body ends it normally, as does cancellation. Events are handed over as
// their lines arrive, buffered without limit.
TavolinSignalEventSequence events(Executor executor, HTTPRequest request,
                                  std::shared_ptr<HTTPClient> session);

// The event an SSE event block stands for, if any. `eventName` is nothing when the block had no
// "event" line. Malformed data gives nothing rather than failing.
std::optional<TavolinSignalEvent> parse(const std::optional<std::string>& eventName,
                                        std::string_view data);

}  // namespace TavolinSignalEventStream

}  // namespace tavolin
