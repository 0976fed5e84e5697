#include "TavolinCore/Runtime/SerialQueue.hpp"

#include <pthread.h>

#include "TavolinCore/Runtime/Diagnostics.hpp"

namespace tavolin {
namespace {

thread_local const std::string* currentQueueLabel = nullptr;

constexpr std::size_t kThreadNameLimit = 15;

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] {
    currentQueueLabel = &label_;
    const std::string name =
        label_.size() > kThreadNameLimit ? label_.substr(label_.size() - kThreadNameLimit) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
      try {
        context_.run();
        break;
      } catch (const std::exception& error) {
        // One failing work item must not take the queue down with it.
        writeDiagnosticLine(standardDiagnostics(), "queue " + label_ + ": " + error.what());
      }
    }
    currentQueueLabel = nullptr;
  });
}

SerialQueue::~SerialQueue() {
  stop();
}

void SerialQueue::stop() {
  work_.reset();
  context_.stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  }
}

std::string_view SerialQueue::currentLabel() {
  return currentQueueLabel != nullptr ? std::string_view(*currentQueueLabel) : std::string_view();
}

}  // namespace tavolin
