#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin::testing {

// Runs a coroutine to completion on a private io_context standing in for the main actor.
template <class T>
T runAwaitable(Awaitable<T> awaitable) {
  asio::io_context context;
  auto result = asio::co_spawn(context, std::move(awaitable), asio::use_future);
  context.run();
  return result.get();
}

}  // namespace tavolin::testing
