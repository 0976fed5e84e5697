#include <chrono>
#include <optional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "ControlPlaneServer/SignalHub.hpp"

namespace tavolin {
namespace {

using Wake = SignalHub::Wake;
constexpr auto kNever = std::chrono::steady_clock::time_point::max();

// Starts a wait and lets it run as far as it can without time passing.
void startWait(asio::io_context& context, SignalHub::Subscription& subscription,
               std::optional<Wake>& result,
               std::chrono::steady_clock::time_point deadline = kNever) {
  asio::co_spawn(
      context, [&]() -> Awaitable<void> { result = co_await subscription.wait(deadline); },
      asio::detached);
  context.restart();
  context.poll();
}

TEST(ControlPlaneSignalHub, Notify_WakesEverySubscriberOfThatSessionOnly) {
  asio::io_context context;
  SignalHub hub;
  SignalHub::Subscription first(hub, "session_a", context.get_executor());
  SignalHub::Subscription second(hub, "session_a", context.get_executor());
  SignalHub::Subscription other(hub, "session_b", context.get_executor());
  std::optional<Wake> firstWake, secondWake, otherWake;
  startWait(context, first, firstWake);
  startWait(context, second, secondWake);
  startWait(context, other, otherWake);
  EXPECT_FALSE(firstWake);

  hub.notify("session_a");
  context.poll();
  EXPECT_EQ(firstWake, Wake::notified);
  EXPECT_EQ(secondWake, Wake::notified);
  EXPECT_FALSE(otherWake);
  EXPECT_EQ(hub.subscriberCount("session_a"), 2u);

  hub.notify("session_b");
  context.poll();
  EXPECT_EQ(otherWake, Wake::notified);
}

TEST(ControlPlaneSignalHub, NotificationWhileBusy_EndsTheNextWaitAtOnceAndOnlyOnce) {
  asio::io_context context;
  SignalHub hub;
  SignalHub::Subscription subscription(hub, "session_a", context.get_executor());
  hub.notify("session_a");
  hub.notify("session_a");
  std::optional<Wake> wake;
  startWait(context, subscription, wake);
  EXPECT_EQ(wake, Wake::notified);

  wake.reset();
  startWait(context, subscription, wake);
  EXPECT_FALSE(wake) << "two notifications before one wait are one wake-up";
}

TEST(ControlPlaneSignalHub, DeadlinesAndShutdown_EndWaits) {
  asio::io_context context;
  SignalHub hub;
  std::optional<Wake> wake;
  {
    SignalHub::Subscription subscription(hub, "session_a", context.get_executor());
    startWait(context, subscription, wake, std::chrono::steady_clock::now());
    context.run();
    EXPECT_EQ(wake, Wake::deadline);

    wake.reset();
    startWait(context, subscription, wake);
    hub.closeAll();
    context.poll();
    EXPECT_EQ(wake, Wake::closed);
    wake.reset();
    startWait(context, subscription, wake);
    EXPECT_EQ(wake, Wake::closed) << "a closed hub ends later waits at once";
  }
  EXPECT_EQ(hub.subscriberCount("session_a"), 0u);
}

}  // namespace
}  // namespace tavolin
