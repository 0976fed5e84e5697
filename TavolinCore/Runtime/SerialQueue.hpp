#pragma once

#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// A named thread running its own io_context: work posted to it runs one item at a time, in
// order. The label ends in the queue's role (".local-network", ".native-video-sender", ...);
// the thread's OS name is the label's last 15 characters (the kernel's limit), so the role is
// what shows in a debugger or `top -H`. Destruction stops the loop and joins the thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  Executor executor() { return context_.get_executor(); }

  template <class Function>
  void post(Function&& function) {
    asio::post(context_, std::forward<Function>(function));
  }

  bool isCurrent() const { return context_.get_executor().running_in_this_thread(); }

  // Pending work is dropped; idempotent.
  void stop();

  // The label of the queue whose thread is calling, or empty elsewhere.
  static std::string_view currentLabel();

 private:
  std::string label_;
  mutable asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
  std::thread thread_;
};

}  // namespace tavolin
