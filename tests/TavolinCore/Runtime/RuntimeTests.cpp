#include <atomic>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <pthread.h>

#include "TavolinCore/Runtime/AsyncQueue.hpp"
#include "TavolinCore/Runtime/MainActor.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinCore/Runtime/Timers.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

TEST(Task, CancelledTaskRunsNoSideEffectAfterItsAwait) {
  asio::io_context context;
  int stepsBefore = 0;
  int stepsAfter = 0;
  asio::steady_timer gate(context, asio::steady_timer::time_point::max());
  const Task task = Task::spawn(context.get_executor(), "gated", [&]() -> Awaitable<void> {
    ++stepsBefore;
    co_await gate.async_wait(asio::use_awaitable);
    ++stepsAfter;
  });
  context.poll();
  ASSERT_EQ(stepsBefore, 1);
  EXPECT_FALSE(task.isFinished());

  task.cancel();
  context.poll();
  EXPECT_EQ(stepsAfter, 0);
  EXPECT_TRUE(task.isFinished());
}

TEST(Task, CancelledTaskStopsAtNextAwaitEvenIfItsOperationCompletes) {
  // The await in progress is not cancellable (a plain post), yet nothing after the next await
  // may run once cancel() has been called.
  asio::io_context context;
  std::vector<int> steps;
  Task task;
  task = Task::spawn(context.get_executor(), "looping", [&]() -> Awaitable<void> {
    for (int i = 0;; ++i) {
      steps.push_back(i);
      if (i == 1)
        task.cancel();
      co_await asio::post(context, asio::use_awaitable);
    }
  });
  context.run_for(1s);
  EXPECT_EQ(steps, (std::vector<int>{0, 1}));
  EXPECT_TRUE(task.isFinished());
}

TEST(Task, CancelFromAnotherThreadEndsASleepingTask) {
  asio::io_context context;
  std::atomic<bool> woke = false;
  const Task task = Task::spawn(context.get_executor(), "sleeper", [&]() -> Awaitable<void> {
    co_await sleepFor(1h);
    woke = true;
  });
  std::thread canceller([&] { task.cancel(); });
  context.run_for(2s);
  canceller.join();
  EXPECT_FALSE(woke);
  EXPECT_TRUE(task.isFinished());
}

TEST(MainActor, WorkPostedFromOtherThreadsRunsOnTheMainThread) {
  MainActor main;
  const auto mainThread = std::this_thread::get_id();
  std::atomic<int> ranOnMain = 0;
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&] {
      asio::post(main.executor(), [&] {
        if (std::this_thread::get_id() == mainThread && main.isCurrent())
          ++ranOnMain;
        if (ranOnMain == 4)
          main.stop();
      });
    });
  }
  main.run();
  for (auto& poster : posters)
    poster.join();
  EXPECT_EQ(ranOnMain, 4);
  EXPECT_FALSE(main.isCurrent());
}

TEST(SerialQueue, ThreadCarriesItsLabelAndRunsWorkInOrder) {
  SerialQueue queue("app.tavolin.agent.low-latency-input-fast-path");
  std::promise<std::pair<std::string, std::string>> names;
  std::vector<int> order;
  for (int i = 0; i < 100; ++i)
    queue.post([&order, i] { order.push_back(i); });
  queue.post([&] {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    names.set_value({name, std::string(SerialQueue::currentLabel())});
  });
  const auto [threadName, label] = names.get_future().get();
  EXPECT_EQ(threadName, "input-fast-path");
  EXPECT_EQ(label, "app.tavolin.agent.low-latency-input-fast-path");
  EXPECT_TRUE(SerialQueue::currentLabel().empty());
  queue.stop();
  queue.stop();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(order[i], i);
}

TEST(RunOn, WorkRunsOnTheQueueAndTheCallerResumesOnItsOwnExecutor) {
  asio::io_context context;
  SerialQueue queue("app.tavolin.agent.test.run-on");
  const auto callerThread = std::this_thread::get_id();
  std::string ranOn;
  std::optional<int> answer;
  bool resumedOnCaller = false;
  Task::spawn(context.get_executor(), "caller", [&]() -> Awaitable<void> {
    answer = co_await runOn(queue, [&] {
      ranOn = SerialQueue::currentLabel();
      return 42;
    });
    resumedOnCaller = std::this_thread::get_id() == callerThread;
    co_await runOn(queue, [] {});  // nothing to hand back
  });
  // No timer or socket keeps the loop alive: the pending work itself must.
  context.run();
  EXPECT_EQ(ranOn, "app.tavolin.agent.test.run-on");
  EXPECT_EQ(answer, 42);
  EXPECT_TRUE(resumedOnCaller);
}

TEST(RunOn, WhatTheWorkThrowsReachesTheCallerAsThrown) {
  asio::io_context context;
  SerialQueue queue("app.tavolin.agent.test.run-on");
  std::string caught;
  Task::spawn(context.get_executor(), "caller", [&]() -> Awaitable<void> {
    try {
      co_await runOn(queue, []() -> std::string { throw std::out_of_range("no such frame"); });
    } catch (const std::out_of_range& error) {
      caught = error.what();
    }
  });
  context.run();
  EXPECT_EQ(caught, "no such frame");
}

TEST(RunOn, CallersExecutorServesOtherWorkWhileTheQueueWorks) {
  // The work waits for something only the caller's loop can do: were that loop blocked on the
  // work, neither would ever finish.
  asio::io_context context;
  SerialQueue queue("app.tavolin.agent.test.run-on");
  std::promise<void> servedMeanwhile;
  bool released = false;
  Task::spawn(context.get_executor(), "caller", [&]() -> Awaitable<void> {
    released = co_await runOn(queue, [&] {
      asio::post(context, [&] { servedMeanwhile.set_value(); });
      return servedMeanwhile.get_future().wait_for(10s) == std::future_status::ready;
    });
  });
  context.run_for(20s);
  EXPECT_TRUE(released);
}

TEST(AsyncQueue, DeliversInOrderAcrossThreadsThenEndsWhenFinished) {
  asio::io_context context;
  AsyncQueue<int> queue(context.get_executor());
  std::vector<int> received;
  bool ended = false;
  Task::spawn(context.get_executor(), "consumer", [&]() -> Awaitable<void> {
    while (const auto value = co_await queue.next())
      received.push_back(*value);
    ended = true;
  });
  std::thread producer([&] {
    for (int i = 0; i < 1000; ++i)
      queue.push(i);
    queue.finish();
    queue.push(-1);  // after finish: dropped
  });
  context.run_for(5s);
  producer.join();
  ASSERT_EQ(received.size(), 1000u);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(received[i], i);
  EXPECT_TRUE(ended);
}

TEST(AsyncQueue, CancellingTheConsumerEndsItsWait) {
  asio::io_context context;
  AsyncQueue<int> queue(context.get_executor());
  bool returned = false;
  const Task consumer = Task::spawn(context.get_executor(), "consumer", [&]() -> Awaitable<void> {
    co_await queue.next();
    returned = true;
  });
  context.poll();
  consumer.cancel();
  context.poll();
  queue.push(1);
  context.poll();
  EXPECT_TRUE(consumer.isFinished());
  EXPECT_FALSE(returned);
}

}  // namespace
}  // namespace tavolin
