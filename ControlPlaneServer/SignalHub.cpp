#include "ControlPlaneServer/SignalHub.hpp"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tavolin {

SignalHub::Subscription::Subscription(SignalHub& hub, std::string sessionId, Executor executor)
    : hub_(hub), sessionId_(std::move(sessionId)), timer_(std::move(executor)) {
  hub_.subscriptions_[sessionId_].push_back(this);
}

SignalHub::Subscription::~Subscription() {
  const auto found = hub_.subscriptions_.find(sessionId_);
  if (found == hub_.subscriptions_.end())
    return;
  std::erase(found->second, this);
  if (found->second.empty())
    hub_.subscriptions_.erase(found);
}

void SignalHub::Subscription::wake(bool notified) {
  notified_ = notified_ || notified;
  timer_.cancel();
}

Awaitable<SignalHub::Wake> SignalHub::Subscription::wait(
    std::chrono::steady_clock::time_point deadline) {
  if (!hub_.closed_ && !notified_) {
    timer_.expires_at(deadline);
    const auto [error] = co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
    if (error && !notified_ && !hub_.closed_)
      co_return Wake::closed;
  }
  if (hub_.closed_)
    co_return Wake::closed;
  if (notified_) {
    notified_ = false;
    co_return Wake::notified;
  }
  co_return Wake::deadline;
}

void SignalHub::notify(std::string_view sessionId) {
  const auto found = subscriptions_.find(std::string(sessionId));
  if (found == subscriptions_.end())
    return;
  for (Subscription* subscription : found->second)
    subscription->wake(true);
}

void SignalHub::closeAll() {
  closed_ = true;
  for (auto& [sessionId, subscriptions] : subscriptions_) {
    for (Subscription* subscription : subscriptions)
      subscription->wake(false);
  }
}

std::size_t SignalHub::subscriberCount(std::string_view sessionId) const {
  const auto found = subscriptions_.find(std::string(sessionId));
  return found == subscriptions_.end() ? 0 : found->second.size();
}

}  // namespace tavolin
