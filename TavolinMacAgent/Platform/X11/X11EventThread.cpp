#include "TavolinMacAgent/Platform/X11/X11EventThread.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "TavolinCore/Runtime/Diagnostics.hpp"

namespace tavolin {
namespace {

constexpr std::size_t kThreadNameLimit = 15;

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

}  // namespace

X11EventThread::X11EventThread(std::string displayName, std::string threadName, Handler& handler)
    : threadName_(std::move(threadName)),
      handler_(handler),
      connector_(std::move(displayName)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([this] { run(); });
}

X11EventThread::~X11EventThread() {
  stop();
  ::close(wakeFd_);
}

void X11EventThread::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable())
    thread_.join();
}

void X11EventThread::post(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      jobs_.push_back(std::move(job));
      const std::uint64_t one = 1;
      (void)!::write(wakeFd_, &one, sizeof one);
      return;
    }
  }
  job(nullptr);
}

void X11EventThread::run() {
  const std::string name = threadName_.size() > kThreadNameLimit
                               ? threadName_.substr(threadName_.size() - kThreadNameLimit)
                               : threadName_;
  pthread_setname_np(pthread_self(), name.c_str());
  ensureConnection();
  for (;;) {
    std::deque<Job> jobs;
    bool stopping = false;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
      stopping = stopping_;
    }
    for (Job& job : jobs) {
      // Work queued before stop() finds no display rather than starting new requests. The
      // connection is held for the job even if the handler learns meanwhile that it broke.
      const auto connection = stopping ? nullptr : ensureConnection();
      job(connection.get());
      dispatchPending();
    }
    if (stopping)
      break;

    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (connection_) {
      deadline = handler_.nextDeadline();
      if (deadline && *deadline <= std::chrono::steady_clock::now()) {
        const auto connection = connection_;
        try {
          handler_.deadlineReached(*connection);
        } catch (const std::exception& error) {
          report(error.what());
        }
        dispatchPending();
        continue;
      }
    }

    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    if (connection_)
      fds[1].fd = xcb_get_file_descriptor(connection_->get());
    ::poll(fds, 2, deadline ? millisecondsUntil(*deadline) : -1);
    std::uint64_t wakes = 0;
    (void)!::read(wakeFd_, &wakes, sizeof wakes);
    if (connection_)
      dispatchPending();
  }
  // Work posted while the loop was ending.
  std::deque<Job> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(jobs_);
  }
  for (Job& job : left)
    job(nullptr);
  dropConnection();
}

std::shared_ptr<X11Connection> X11EventThread::ensureConnection() {
  if (connection_ && !connection_->hasError())
    return connection_;
  dropConnection();
  auto fresh = connector_.connection();
  if (!fresh)
    return nullptr;
  connection_ = std::move(fresh);
  bool ready = false;
  try {
    ready = handler_.connected(*connection_);
  } catch (const std::exception& error) {
    report(error.what());
  }
  if (!ready) {
    dropConnection();
    return nullptr;
  }
  return connection_;
}

void X11EventThread::dropConnection() {
  if (!connection_)
    return;
  deferred_.clear();
  try {
    handler_.disconnected();
  } catch (const std::exception& error) {
    report(error.what());
  }
  connection_.reset();
}

void X11EventThread::dispatchPending() {
  // Kept alive for the handler even if a nested call drops it.
  const auto connection = connection_;
  while (connection && connection_ == connection) {
    Event event;
    if (!deferred_.empty()) {
      event = std::move(deferred_.front());
      deferred_.pop_front();
    } else {
      event.reset(xcb_poll_for_event(connection->get()));
    }
    if (!event)
      break;
    try {
      handler_.handleEvent(*connection, *event);
    } catch (const std::exception& error) {
      report(error.what());
    }
  }
  // A server that went away shows as an error once its socket is read.
  if (connection_ && connection_->hasError())
    dropConnection();
}

bool X11EventThread::roundTrip(X11Connection& connection) {
  if (!connection.sync())
    return false;
  dispatchPending();
  return true;
}

X11EventThread::Event X11EventThread::waitForEvent(
    X11Connection& connection, const std::function<bool(const xcb_generic_event_t&)>& match,
    std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  xcb_flush(connection.get());
  for (;;) {
    while (Event event{xcb_poll_for_event(connection.get())}) {
      if (match(*event))
        return event;
      deferred_.push_back(std::move(event));
    }
    if (connection.hasError() || std::chrono::steady_clock::now() >= deadline)
      return nullptr;
    pollfd fd{xcb_get_file_descriptor(connection.get()), POLLIN, 0};
    ::poll(&fd, 1, millisecondsUntil(deadline));
  }
}

void X11EventThread::report(const char* what) const {
  writeDiagnosticLine(standardDiagnostics(), "x11 " + threadName_ + ": " + what);
}

}  // namespace tavolin
