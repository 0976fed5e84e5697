#pragma once

#include <chrono>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// Suspends the calling coroutine; cancellation of the task ends the sleep with
// asio::error::operation_aborted.
Awaitable<void> sleepFor(std::chrono::steady_clock::duration duration);

}  // namespace tavolin
