#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/AsyncQueue.hpp"
#include "TavolinCore/Runtime/Task.hpp"

namespace tavolin {

// The agent side of a streaming session's signalling: signals to the controller, and the
// controller's signals in. Incoming signals arrive two ways at once, the event stream (reopened
// after a failure with a growing delay) and a 100 ms poll, so that neither a slow stream nor a
// missing one holds the session up; one consumer hands each sequence number to the handler
// once, in order. Main actor only.
class PublisherSignaling : public std::enable_shared_from_this<PublisherSignaling> {
 public:
  using Handler = std::function<Awaitable<void>(const TavolinSignal& signal)>;

  // `failurePhase` names intake failures in the "error" signals that report them.
  static std::shared_ptr<PublisherSignaling> make(Executor executor, TavolinAPIClient api,
                                                  std::string agentToken, std::string sessionId,
                                                  std::string failurePhase);

  // Sends an agent signal and waits for the control plane to store it; throws its errors.
  Awaitable<void> send(std::string type, JSONObject payload);
  // Sends without waiting; a failure is dropped (the controller notices the silence).
  void post(std::string type, JSONObject payload);

  // Starts both intake paths and the consumer; no effect when running.
  void start(Handler handler);
  // Cancels the intake; signals not yet handled are dropped. Idempotent.
  void stop();

  std::int64_t lastSequence() const { return lastSequence_; }

 private:
  PublisherSignaling(Executor executor, TavolinAPIClient api, std::string agentToken,
                     std::string sessionId, std::string failurePhase);

  Awaitable<void> streamLoop();
  Awaitable<void> pollLoop();
  Awaitable<void> consume();
  // Reports an intake failure once per run of equal failures of one path, so a path that keeps
  // failing the same way (a server without the event stream) does not flood the controller.
  void reportFailure(const std::exception& error, std::string& lastFailure);

  Executor executor_;
  TavolinAPIClient api_;
  std::string agentToken_;
  std::string sessionId_;
  std::string failurePhase_;
  Handler handler_;
  AsyncQueue<TavolinSignal> incoming_;
  std::int64_t lastSequence_ = 0;
  Task stream_, poll_, consumer_;
};

}  // namespace tavolin
