#pragma once

#include <atomic>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// The main thread's event loop. Objects confined to the main thread (coordinator, command
// executor, local routes, audit store) are only touched from work run here; other threads hand
// work over with asio::post(mainActor.executor(), ...).
class MainActor {
 public:
  MainActor() = default;
  MainActor(const MainActor&) = delete;
  MainActor& operator=(const MainActor&) = delete;

  Executor executor() { return context_.get_executor(); }
  asio::io_context& context() { return context_; }

  // Runs on the calling thread until stop(); that thread becomes the main actor.
  void run();
  // Safe from any thread.
  void stop() { context_.stop(); }
  // True on the thread inside run().
  bool isCurrent() const { return context_.get_executor().running_in_this_thread(); }

 private:
  mutable asio::io_context context_{1};
  // Keeps run() alive while nothing is queued.
  asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
};

}  // namespace tavolin
