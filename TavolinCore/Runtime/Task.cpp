#include "TavolinCore/Runtime/Task.hpp"

#include <boost/system/system_error.hpp>

#include "TavolinCore/Runtime/Diagnostics.hpp"

namespace tavolin {

void reportTaskFailure(const std::string& name, std::exception_ptr failure) {
  reportFailureTo(standardDiagnostics(), "task " + name + " failed:")(failure);
}

bool isCancellation(const std::exception& error) {
  const auto* system = dynamic_cast<const boost::system::system_error*>(&error);
  return system != nullptr && system->code() == asio::error::operation_aborted;
}

void Task::cancel() const {
  if (!state_)
    return;
  // Cancellation signals are not thread-safe: emit on the task's own executor.
  asio::dispatch(state_->executor, [state = state_] {
    if (!state->finished)
      state->signal.emit(asio::cancellation_type::terminal);
  });
}

}  // namespace tavolin
