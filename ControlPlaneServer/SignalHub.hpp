#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// Wakes the signal streams waiting on a session as soon as something they must send happens
// (a signal stored, the session ended), so a stream never polls the store on a timer.
//
// Single-threaded: the hub, its subscriptions and every caller live on one executor. The hub
// must outlive its subscriptions.
class SignalHub {
 public:
  enum class Wake { notified, deadline, closed };

  // One waiting stream. A notification that arrives while the stream is busy writing is kept
  // and ends the next wait at once, so none is lost between a read of the store and the wait.
  class Subscription {
   public:
    Subscription(SignalHub& hub, std::string sessionId, Executor executor);
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // Until a notification, `deadline`, or closeAll(). Cancellation of the awaiting coroutine
    // also answers `closed`.
    Awaitable<Wake> wait(std::chrono::steady_clock::time_point deadline);

   private:
    friend class SignalHub;
    void wake(bool notified);

    SignalHub& hub_;
    std::string sessionId_;
    asio::steady_timer timer_;
    bool notified_ = false;
  };

  SignalHub() = default;
  SignalHub(const SignalHub&) = delete;
  SignalHub& operator=(const SignalHub&) = delete;

  void notify(std::string_view sessionId);
  // Ends every wait, now and later, with `closed`: the server is shutting down.
  void closeAll();
  bool isClosed() const { return closed_; }
  std::size_t subscriberCount(std::string_view sessionId) const;

 private:
  std::unordered_map<std::string, std::vector<Subscription*>> subscriptions_;
  bool closed_ = false;
};

}  // namespace tavolin
