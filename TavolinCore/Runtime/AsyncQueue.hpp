#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// An unbounded multi-producer, single-consumer queue whose consumer awaits the next element.
// Producers may push from any thread; next() is awaited by one coroutine on `executor`.
// finish() ends the sequence: next() drains what is queued, then yields nothing.
template <class T>
class AsyncQueue {
 public:
  explicit AsyncQueue(Executor executor) : shared_(std::make_shared<Shared>(std::move(executor))) {}

  void push(T value) {
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->finished)
        return;
      shared_->items.push_back(std::move(value));
    }
    wake();
  }

  void finish() {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->finished = true;
    }
    wake();
  }

  // The next element, or nothing once finished and drained. Cancelling the awaiting task ends
  // the wait with asio::error::operation_aborted.
  Awaitable<std::optional<T>> next() {
    auto shared = shared_;
    for (;;) {
      {
        std::lock_guard lock(shared->mutex);
        if (!shared->items.empty()) {
          T value = std::move(shared->items.front());
          shared->items.pop_front();
          co_return value;
        }
        if (shared->finished)
          co_return std::nullopt;
      }
      // The wake-up is posted to this executor, so it cannot run between the check above and
      // the start of this wait: no wake-up is lost.
      shared->timer.expires_at(asio::steady_timer::time_point::max());
      boost::system::error_code ignored;
      co_await shared->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
      const auto state = co_await asio::this_coro::cancellation_state;
      if (state.cancelled() != asio::cancellation_type::none) {
        throw boost::system::system_error(asio::error::operation_aborted);
      }
    }
  }

 private:
  struct Shared {
    explicit Shared(Executor executor) : timer(std::move(executor)) {}
    std::mutex mutex;
    std::deque<T> items;
    bool finished = false;
    asio::steady_timer timer;
  };

  void wake() {
    asio::post(shared_->timer.get_executor(), [shared = shared_] { shared->timer.cancel(); });
  }

  std::shared_ptr<Shared> shared_;
};

}  // namespace tavolin
