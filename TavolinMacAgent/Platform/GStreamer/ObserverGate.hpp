#pragma once

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "TavolinMacAgent/Platform/GStreamer/GStreamerSupport.hpp"

namespace tavolin::gstreamer {

// The observer that library threads call. replace() and close() return only once no call of the
// previous observer runs on another thread; a call on the replacing thread itself is the caller's
// own frame and cannot be waited for. After close() nothing is called again.
template <class Observer>
class ObserverGate {
 public:
  explicit ObserverGate(Observer observer = {})
      : observer_(std::make_shared<const Observer>(std::move(observer))) {}

  void replace(Observer observer) {
    auto next = std::make_shared<const Observer>(std::move(observer));
    std::unique_lock lock(mutex_);
    if (closed_)
      return;
    observer_ = std::move(next);
    waitForOtherCallers(lock);
  }

  void close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    observer_ = std::make_shared<const Observer>();
    waitForOtherCallers(lock);
  }

  // Runs `call(observer)` unless closed. Exceptions stop here: the caller is a C callback.
  template <class Call>
  void call(Call&& call) noexcept {
    std::shared_ptr<const Observer> observer;
    {
      std::lock_guard lock(mutex_);
      if (closed_)
        return;
      observer = observer_;
      callers_.push_back(std::this_thread::get_id());
    }
    try {
      std::forward<Call>(call)(*observer);
    } catch (const std::exception& error) {
      logProblem(std::string("an observer threw: ") + error.what());
    } catch (...) {
      logProblem("an observer threw");
    }
    std::lock_guard lock(mutex_);
    callers_.erase(std::find(callers_.begin(), callers_.end(), std::this_thread::get_id()));
    idle_.notify_all();
  }

 private:
  void waitForOtherCallers(std::unique_lock<std::mutex>& lock) {
    const auto self = std::this_thread::get_id();
    idle_.wait(lock, [&] {
      return std::all_of(callers_.begin(), callers_.end(), [&](auto id) { return id == self; });
    });
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::shared_ptr<const Observer> observer_;
  std::vector<std::thread::id> callers_;
  bool closed_ = false;
};

}  // namespace tavolin::gstreamer
