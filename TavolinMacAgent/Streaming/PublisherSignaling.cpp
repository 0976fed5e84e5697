#include "TavolinMacAgent/Streaming/PublisherSignaling.hpp"

#include <algorithm>
#include <chrono>

#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"
#include "TavolinCore/Runtime/Timers.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 100ms;
constexpr auto kReconnectStep = 100ms;
constexpr auto kReconnectCap = 800ms;

}  // namespace

std::shared_ptr<PublisherSignaling> PublisherSignaling::make(Executor executor,
                                                             TavolinAPIClient api,
                                                             std::string agentToken,
                                                             std::string sessionId,
                                                             std::string failurePhase) {
  return std::shared_ptr<PublisherSignaling>(
      new PublisherSignaling(std::move(executor), std::move(api), std::move(agentToken),
                             std::move(sessionId), std::move(failurePhase)));
}

PublisherSignaling::PublisherSignaling(Executor executor, TavolinAPIClient api,
                                       std::string agentToken, std::string sessionId,
                                       std::string failurePhase)
    : executor_(executor),
      api_(std::move(api)),
      agentToken_(std::move(agentToken)),
      sessionId_(std::move(sessionId)),
      failurePhase_(std::move(failurePhase)),
      incoming_(executor) {}

Awaitable<void> PublisherSignaling::send(std::string type, JSONObject payload) {
  SignalPayload signal{std::move(type), std::move(payload)};
  co_await api_.sendAgentSignal(agentToken_, sessionId_, signal);
}

void PublisherSignaling::post(std::string type, JSONObject payload) {
  Task::spawn(executor_, "publisher-signal",
              [api = api_, token = agentToken_, session = sessionId_,
               signal = SignalPayload{std::move(type), std::move(payload)}]() -> Awaitable<void> {
                try {
                  co_await api.sendAgentSignal(token, session, signal);
                } catch (const std::exception&) {
                }
              });
}

void PublisherSignaling::start(Handler handler) {
  if (consumer_)
    return;
  handler_ = std::move(handler);
  auto self = shared_from_this();
  consumer_ = Task::spawn(executor_, "publisher-signal-consumer",
                          [self]() -> Awaitable<void> { co_await self->consume(); });
  stream_ = Task::spawn(executor_, "publisher-signal-stream",
                        [self]() -> Awaitable<void> { co_await self->streamLoop(); });
  poll_ = Task::spawn(executor_, "publisher-signal-poll",
                      [self]() -> Awaitable<void> { co_await self->pollLoop(); });
}

void PublisherSignaling::stop() {
  stream_.cancel();
  poll_.cancel();
  consumer_.cancel();
  incoming_.finish();
}

Awaitable<void> PublisherSignaling::streamLoop() {
  std::string lastFailure;
  for (int attempt = 1;; ++attempt) {
    try {
      auto events = TavolinSignalEventStream::events(
          executor_, api_.agentSignalEventsRequest(agentToken_, sessionId_, lastSequence_),
          api_.session());
      while (auto event = co_await events.next()) {
        if (const auto* signal = std::get_if<TavolinSignalEvent::Signal>(&event->value)) {
          attempt = 1;
          lastFailure.clear();
          incoming_.push(signal->signal);
        }
      }
    } catch (const std::exception& error) {
      if (isCancellation(error))
        throw;
      reportFailure(error, lastFailure);
    }
    co_await sleepFor(
        std::min<std::chrono::steady_clock::duration>(attempt * kReconnectStep, kReconnectCap));
  }
}

Awaitable<void> PublisherSignaling::pollLoop() {
  std::string lastFailure;
  for (;;) {
    try {
      const SignalsResponse response =
          co_await api_.agentSignals(agentToken_, sessionId_, lastSequence_);
      for (const auto& signal : response.signals)
        incoming_.push(signal);
      lastFailure.clear();
    } catch (const std::exception& error) {
      if (isCancellation(error))
        throw;
      reportFailure(error, lastFailure);
    }
    co_await sleepFor(kPollInterval);
  }
}

Awaitable<void> PublisherSignaling::consume() {
  while (auto signal = co_await incoming_.next()) {
    // Both paths deliver the same signals; the mark lets each through once.
    if (signal->sequence <= lastSequence_)
      continue;
    lastSequence_ = signal->sequence;
    // The hosted control plane lists a session's signals from both sides: ours come back too,
    // and our own candidates must not be taken for the controller's.
    if (signal->sender == "agent")
      continue;
    co_await handler_(*signal);
  }
}

void PublisherSignaling::reportFailure(const std::exception& error, std::string& lastFailure) {
  std::string message = error.what();
  if (message == lastFailure)
    return;
  lastFailure = message;
  post("error", {{"phase", failurePhase_}, {"message", std::move(message)}});
}

}  // namespace tavolin
