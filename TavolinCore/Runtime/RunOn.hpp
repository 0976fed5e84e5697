#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"

namespace tavolin {

namespace runOnDetail {

// What travels back for a function that returns nothing.
struct Nothing {};

template <class Result>
using Carried = std::conditional_t<std::is_void_v<Result>, Nothing, Result>;

}  // namespace runOnDetail

// The one way to do slow work (a blocking platform call, a capture, a thread join) for a
// coroutine without holding up the coroutine's executor: `function` runs on `queue`, after the
// work queued there before it, and the awaiting coroutine resumes on its own executor with what
// `function` returned, or with what it threw (rethrown as it was). Meanwhile that executor (the
// main actor) serves its other work.
//
// `function` may refer to the caller's locals: the caller stays suspended until it has run.
// It must not own the queue (the queue's thread would end up destroying, and so joining,
// itself). Cancelling the awaiting task does not interrupt `function`; the task ends at its
// next await after `function` returned. When the queue is stopped before `function` runs, the
// awaiting coroutine is destroyed without resuming, as with any operation its executor drops.
template <class Function>
Awaitable<std::invoke_result_t<Function&>> runOn(SerialQueue& queue, Function function) {
  using Result = std::invoke_result_t<Function&>;
  using Carried = runOnDetail::Carried<Result>;
  using Signature = void(std::exception_ptr, std::optional<Carried>);

  auto initiate = [&queue](auto handler, Function work) {
    // Tracked work keeps the caller's loop from running dry while the queue works.
    auto caller = asio::make_work_guard(asio::get_associated_executor(handler));
    queue.post([handler = std::move(handler), work = std::move(work),
                caller = std::move(caller)]() mutable {
      std::exception_ptr failure;
      std::optional<Carried> value;
      try {
        if constexpr (std::is_void_v<Result>) {
          work();
          value.emplace();
        } else {
          value.emplace(work());
        }
      } catch (...) {
        failure = std::current_exception();
      }
      // Resumed by a post, never inline: the caller's executor is not this thread's.
      asio::post(caller.get_executor(),
                 [handler = std::move(handler), failure, value = std::move(value)]() mutable {
                   std::move(handler)(failure, std::move(value));
                 });
    });
  };
  // Named, not a temporary of the await: GCC 12 destroys such temporaries once too often.
  auto operation = asio::async_initiate<const asio::use_awaitable_t<>, Signature>(
      std::move(initiate), asio::use_awaitable, std::move(function));
  std::optional<Carried> value = co_await std::move(operation);
  if constexpr (!std::is_void_v<Result>)
    co_return std::move(*value);
}

}  // namespace tavolin
