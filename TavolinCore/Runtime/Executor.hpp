#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace tavolin {

namespace asio = boost::asio;

// Every component is handed the executor it runs on; none reaches for a global one.
using Executor = asio::any_io_executor;

template <class T>
using Awaitable = asio::awaitable<T>;

}  // namespace tavolin
