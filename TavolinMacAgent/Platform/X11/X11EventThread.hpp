#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

#include <xcb/xcb.h>

#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

namespace tavolin {

// An X client that must answer events: a thread with a connection of its own, waiting on the
// connection's socket and on an eventfd that wakes it for work and for shutdown.
//
// The handler's methods run only on this thread, as does work given to `call`. When the
// display goes away the handler is told (`disconnected`) and the thread waits for the next
// `call`, which connects again (at most once per second while the display is unreachable).
// Exceptions thrown by the handler are reported on standard error and never end the thread.
class X11EventThread {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // A new connection is up: create windows and select events. False gives it up again.
    virtual bool connected(X11Connection& connection) = 0;
    // The connection broke or is being closed: forget everything that lived on it.
    virtual void disconnected() = 0;
    virtual void handleEvent(X11Connection& connection, const xcb_generic_event_t& event) = 0;
    // When the handler next wants `deadlineReached`, for time-outs of its own.
    virtual std::optional<std::chrono::steady_clock::time_point> nextDeadline() {
      return std::nullopt;
    }
    virtual void deadlineReached(X11Connection&) {}
  };

  using Event = XcbReply<xcb_generic_event_t>;

  // `handler` must outlive the thread: stop() it first. The thread connects at once.
  X11EventThread(std::string displayName, std::string threadName, Handler& handler);
  ~X11EventThread();
  X11EventThread(const X11EventThread&) = delete;
  X11EventThread& operator=(const X11EventThread&) = delete;

  // Ends the thread and closes the connection; calls made afterwards find no display.
  // Idempotent; not from the thread itself.
  void stop();

  // Runs `work(connection)` on the thread, connecting first when needed, and waits for it.
  // Nothing when the display cannot be reached or the thread has stopped. Events that arrive
  // meanwhile are handled after the work. Never from the thread itself.
  template <class Work>
  auto call(Work&& work) -> std::optional<std::invoke_result_t<Work&, X11Connection&>> {
    using Result = std::optional<std::invoke_result_t<Work&, X11Connection&>>;
    std::promise<Result> promise;
    auto future = promise.get_future();
    // The caller waits below, so the job may refer to its locals.
    post([&](X11Connection* connection) {
      try {
        promise.set_value(connection ? Result(work(*connection)) : Result());
      } catch (...) {
        promise.set_exception(std::current_exception());
      }
    });
    return future.get();
  }

  // On the thread: a round trip, then every event that arrived before its reply is handled,
  // so what the server did up to now is known. False on a broken connection.
  bool roundTrip(X11Connection& connection);

  // On the thread: reads events until `match` takes one or `timeout` passes. Events it does
  // not take are handled afterwards, in order. Nothing on time-out or a broken connection.
  Event waitForEvent(X11Connection& connection,
                     const std::function<bool(const xcb_generic_event_t&)>& match,
                     std::chrono::steady_clock::duration timeout);

 private:
  using Job = std::function<void(X11Connection*)>;

  void post(Job job);
  void run();
  std::shared_ptr<X11Connection> ensureConnection();
  void dropConnection();
  void dispatchPending();
  void report(const char* what) const;

  std::string threadName_;
  Handler& handler_;
  X11DisplayConnector connector_;
  int wakeFd_;

  std::mutex mutex_;
  std::deque<Job> jobs_;
  bool stopping_ = false;

  // Thread-confined.
  std::shared_ptr<X11Connection> connection_;
  std::deque<Event> deferred_;

  std::thread thread_;
};

}  // namespace tavolin
