#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// Reports an exception that ended a task unexpectedly. Cancellation is an expected ending and
// never reaches it.
void reportTaskFailure(const std::string& name, std::exception_ptr failure);

// True for the error a cancelled await throws (asio::error::operation_aborted); a task that
// catches everything rethrows these so that cancellation still ends it.
bool isCancellation(const std::exception& error);

// A handle to a detached coroutine that can be cancelled. A cancelled task ends at its next
// co_await (asio's throw_if_cancelled), so it runs no further side effect after the await it
// was suspended in. Dropping the handle does not cancel; cancel() is idempotent and may be
// called from any thread (it hops to the task's executor).
class Task {
 public:
  Task() = default;

  // `make` is called once to produce the coroutine; asio keeps it alive until the coroutine
  // ends, so a lambda's captures stay valid across its awaits.
  template <class MakeAwaitable>
  static Task spawn(Executor executor, std::string name, MakeAwaitable&& make) {
    Task task;
    task.state_ = std::make_shared<State>(executor, std::move(name));
    auto state = task.state_;
    asio::co_spawn(
        executor, std::forward<MakeAwaitable>(make),
        asio::bind_cancellation_slot(state->signal.slot(), [state](std::exception_ptr failure) {
          state->finished = true;
          if (failure)
            reportTaskFailure(state->name, failure);
        }));
    return task;
  }

  void cancel() const;
  // True once the coroutine has returned, thrown or been cancelled. Read on its executor.
  bool isFinished() const { return !state_ || state_->finished; }
  explicit operator bool() const { return state_ != nullptr; }

 private:
  struct State {
    State(Executor executor, std::string name)
        : executor(std::move(executor)), name(std::move(name)) {}
    Executor executor;
    std::string name;
    asio::cancellation_signal signal;
    bool finished = false;
  };

  std::shared_ptr<State> state_;
};

}  // namespace tavolin
