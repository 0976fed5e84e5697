#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"
#include "TavolinMacAgent/Platform/PeerConnection.hpp"

namespace tavolin::gstreamer {

// The reply of a GstPromise, or why there is none.
struct PromiseOutcome {
  StructurePtr reply;
  std::optional<std::string> failure;
};

PromiseOutcome readPromise(GstPromise* promise);

// Holds the awaiting coroutine's handler until webrtcbin answers the promise, then resumes it on
// its own executor. A promise dropped unanswered (webrtcbin shut down first) resumes it too.
template <class Handler>
class PromiseWaiter {
 public:
  explicit PromiseWaiter(Handler handler)
      : handler_(std::move(handler)),
        executor_(asio::prefer(asio::get_associated_executor(*handler_),
                               asio::execution::outstanding_work.tracked)) {}

  static void changed(GstPromise* promise, gpointer self) noexcept {
    static_cast<PromiseWaiter*>(self)->complete(readPromise(promise));
  }

  static void destroyed(gpointer self) noexcept {
    auto* waiter = static_cast<PromiseWaiter*>(self);
    if (waiter->handler_)
      waiter->complete({nullptr, "The peer connection closed before it answered."});
    delete waiter;
  }

 private:
  void complete(PromiseOutcome outcome) noexcept {
    try {
      std::exception_ptr error;
      if (outcome.failure)
        error = std::make_exception_ptr(PeerConnectionError(*outcome.failure));
      asio::post(executor_, [handler = std::move(*handler_), error,
                             reply = std::move(outcome.reply)]() mutable {
        std::move(handler)(error, std::move(reply));
      });
    } catch (const std::exception& error) {
      // Out of memory while posting: the coroutine is abandoned with its handler.
      logProblem(std::string("could not resume a peer-connection operation: ") + error.what());
    }
    handler_.reset();
    executor_ = {};
  }

  std::optional<Handler> handler_;
  Executor executor_;
};

// Emits an operation that answers through a GstPromise and resumes with the reply (empty when
// the reply carried nothing). An error in the reply, an interrupted promise or one never
// answered throws PeerConnectionError.
inline Awaitable<StructurePtr> awaitPromise(std::function<void(GstPromise*)> emit) {
  return asio::async_initiate<const asio::use_awaitable_t<>&,
                              void(std::exception_ptr, StructurePtr)>(
      [emit = std::move(emit)](auto handler) {
        using Waiter = PromiseWaiter<decltype(handler)>;
        auto* waiter = new Waiter(std::move(handler));
        GstPromise* promise =
            gst_promise_new_with_change_func(&Waiter::changed, waiter, &Waiter::destroyed);
        emit(promise);
        gst_promise_unref(promise);
      },
      asio::use_awaitable);
}

}  // namespace tavolin::gstreamer
