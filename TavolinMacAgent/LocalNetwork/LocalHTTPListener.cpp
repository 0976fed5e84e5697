#include "TavolinMacAgent/LocalNetwork/LocalHTTPListener.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/system/system_error.hpp>

#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"

namespace tavolin {
namespace {

using asio::ip::tcp;
using boost::system::error_code;

constexpr auto kUseTuple = asio::as_tuple(asio::use_awaitable);

// Accept errors that say "not now" (a peer gave up, descriptors ran out) rather than that the
// listening socket is broken.
bool isTransientAcceptError(const error_code& error) {
  return error == asio::error::connection_aborted || error == asio::error::no_descriptors ||
         error == asio::error::no_buffer_space || error == asio::error::no_memory ||
         error == asio::error::interrupted || error == asio::error::connection_reset ||
         error.value() == ENFILE || error.value() == EPROTO || error.value() == EPERM;
}

error_code listenOn(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  error_code ignored;
  acceptor.close(ignored);
  error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error && endpoint.protocol() == tcp::v6())
    acceptor.set_option(asio::ip::v6_only(false), error);
  if (!error)
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error)
    acceptor.bind(endpoint, error);
  if (!error)
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error)
    acceptor.close(ignored);
  return error;
}

// All interfaces, IPv6 and IPv4 on one socket where the host has IPv6, else IPv4 alone.
error_code listenOnAllInterfaces(tcp::acceptor& acceptor, std::uint16_t port) {
  if (!listenOn(acceptor, tcp::endpoint(tcp::v6(), port)))
    return {};
  return listenOn(acceptor, tcp::endpoint(tcp::v4(), port));
}

LocalHTTPResponse emptyBadRequest() {
  LocalHTTPResponse response;
  response.statusCode = 400;
  response.reason = std::string(LocalHTTPResponse::reasonFor(400));
  response.contentType = "application/json";
  return response;
}

LocalHTTPResponse responseForFailure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const LocalHTTPError& error) {
    return error.response();
  } catch (const std::exception& error) {
    return LocalHTTPError::internalServerError(error.what()).response();
  } catch (...) {
    return LocalHTTPError::internalServerError("unknown failure").response();
  }
}

auto reportConnectionFailure() {
  return reportFailureTo(standardDiagnostics(), "local network connection failed:");
}

// Where refused peers' remaining bytes go; nothing reads it back.
using DiscardBuffer = std::array<char, 64 * 1024>;

// What the request buffers of all connections hold together. A connection's share is given
// back wherever its frame ends, which is off the queue when the queue is torn down.
class BufferBudget {
 public:
  explicit BufferBudget(std::size_t limit) : limit_(limit) {}

  bool take(std::size_t bytes) {
    std::size_t held = held_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit_ - held)
        return false;
    } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
    return true;
  }
  void give(std::size_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> held_ = 0;
};

// One connection's share of the budget, given back when the connection ends, on any path.
class BufferReservation {
 public:
  explicit BufferReservation(std::shared_ptr<BufferBudget> budget) : budget_(std::move(budget)) {}
  ~BufferReservation() { budget_->give(held_); }
  BufferReservation(const BufferReservation&) = delete;
  BufferReservation& operator=(const BufferReservation&) = delete;

  // Holds `bytes` in all; false, still holding what it held, when the budget cannot cover it.
  bool growTo(std::size_t bytes) {
    if (bytes > held_ && !budget_->take(bytes - held_))
      return false;
    held_ = std::max(held_, bytes);
    return true;
  }
  void release() { budget_->give(std::exchange(held_, 0)); }

 private:
  std::shared_ptr<BufferBudget> budget_;
  std::size_t held_ = 0;
};

// A read may not outlast the connection's deadline, nor a silence of `idleTimeout`.
std::chrono::steady_clock::time_point readExpiry(std::chrono::steady_clock::time_point deadline,
                                                 std::chrono::steady_clock::duration idleTimeout) {
  return std::min(deadline, std::chrono::steady_clock::now() + idleTimeout);
}

std::chrono::steady_clock::duration bodyAllowance(const LocalHTTPListenerOptions& options,
                                                  std::size_t bodyLength) {
  const std::size_t rate = std::max<std::size_t>(options.minBodyBytesPerSecond, 1);
  return options.bodyTimeout + std::chrono::milliseconds(bodyLength * 1000 / rate);
}

}  // namespace

struct LocalHTTPListener::Connection {
  Connection(tcp::socket socket, std::string remotePeer)
      : stream(std::move(socket)),
        answerArrived(stream.get_executor()),
        remotePeer(std::move(remotePeer)) {}

  boost::beast::tcp_stream stream;
  // Cancelled when `answer` has been filled in from the main executor.
  asio::steady_timer answerArrived;
  std::optional<LocalHTTPResponse> answer;
  std::string remotePeer;
  const std::chrono::steady_clock::time_point acceptedAt = std::chrono::steady_clock::now();
  // Reading from the peer (its request, or what follows a refused one) rather than answering
  // it: such a connection may be closed to make room. Queue only.
  bool reading = true;
};

struct LocalHTTPListener::Shared {
  Shared(Executor mainExecutor, RequestHandler handler, LocalHTTPListenerOptions options)
      : queue(options.queueLabel),
        mainExecutor(std::move(mainExecutor)),
        handler(std::move(handler)),
        options(std::move(options)),
        budget(std::make_shared<BufferBudget>(this->options.maxBufferedBytes)) {}
  // Nothing below may be touched by the queue's thread once this returns.
  ~Shared() { queue.stop(); }

  // Takes `connection` into `connections` unless the cap is reached and none can make room.
  // Queue only.
  bool admit(const std::shared_ptr<Connection>& connection) {
    std::erase_if(connections, [](const auto& weak) {
      const auto open = weak.lock();
      return !open || !open->stream.socket().is_open();
    });
    if (connections.size() >= std::max<std::size_t>(options.maxConnections, 1)) {
      // Oldest first: the list is in the order of acceptance.
      const auto oldestReading = std::ranges::find_if(connections, [](const auto& weak) {
        const auto open = weak.lock();
        return open && open->reading;
      });
      if (oldestReading == connections.end())
        return false;
      oldestReading->lock()->stream.close();
      connections.erase(oldestReading);
    }
    connections.push_back(connection);
    return true;
  }

  // First, so that it outlives every socket and timer bound to it.
  SerialQueue queue;
  Executor mainExecutor;
  RequestHandler handler;  // main executor only
  StateHandler onState;    // main executor only
  LocalHTTPListenerOptions options;
  std::shared_ptr<BufferBudget> budget;
  tcp::acceptor acceptor{queue.executor()};
  std::vector<std::weak_ptr<Connection>> connections;  // queue only, until stop() joins it
  DiscardBuffer discard{};                             // queue only
  std::atomic<bool> stopped = false;
};

std::uint16_t LocalHTTPListener::preferredPort(const Environment& environment) {
  if (const auto text = environmentValue(environment, "TAVOLIN_LOCAL_PORT")) {
    if (const auto port = parseInteger(*text); port && *port >= 1 && *port <= 65535)
      return static_cast<std::uint16_t>(*port);
  }
  return kDefaultPort;
}

std::string LocalHTTPListener::peerText(const tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  const std::string port = std::to_string(endpoint.port());
  if (address.is_v4())
    return address.to_string() + ":" + port;
  return "[" + address.to_string() + "]:" + port;
}

LocalHTTPListener::LocalHTTPListener(Executor mainExecutor, RequestHandler handler,
                                     LocalHTTPListenerOptions options)
    : shared_(std::make_shared<Shared>(std::move(mainExecutor), std::move(handler),
                                       std::move(options))) {}

LocalHTTPListener::~LocalHTTPListener() {
  stop();
  // Late answers and state reports from the main executor find nothing and are dropped.
  shared_.reset();
}

LocalHTTPListener::Binding LocalHTTPListener::bind(std::uint16_t preferredPort) {
  Binding binding;
  error_code error = listenOnAllInterfaces(shared_->acceptor, preferredPort);
  if (error && preferredPort != 0) {
    binding.preferredPortFailure = "port " + std::to_string(preferredPort) + ": " + error.message();
    error = listenOnAllInterfaces(shared_->acceptor, 0);
  }
  if (error)
    throw LocalHTTPListenerError("Could not listen on a free port: " + error.message());
  binding.port = shared_->acceptor.local_endpoint().port();
  port_ = binding.port;
  return binding;
}

void LocalHTTPListener::start(StateHandler onState) {
  shared_->onState = std::move(onState);
  asio::co_spawn(shared_->queue.executor(), acceptConnections(shared_), reportConnectionFailure());
}

void LocalHTTPListener::stop() {
  if (!shared_ || shared_->stopped.exchange(true))
    return;
  shared_->queue.stop();
  // The queue's thread has ended: its sockets are ours to close.
  error_code ignored;
  shared_->acceptor.close(ignored);
  for (const auto& weakConnection : shared_->connections) {
    if (const auto connection = weakConnection.lock())
      connection->stream.socket().close(ignored);
  }
  shared_->connections.clear();
  reportState(shared_, State::cancelled, {});
}

void LocalHTTPListener::reportState(const std::weak_ptr<Shared>& weakShared, State state,
                                    std::string description) {
  const auto shared = weakShared.lock();
  if (!shared)
    return;
  asio::post(shared->mainExecutor, [weakShared, state, description = std::move(description)] {
    const auto shared = weakShared.lock();
    if (shared && shared->onState)
      shared->onState(state, description);
  });
}

Awaitable<void> LocalHTTPListener::acceptConnections(std::weak_ptr<Shared> weakShared) {
  reportState(weakShared, State::ready, {});
  for (;;) {
    // A raw pointer across the await: the queue running this frame belongs to Shared, and
    // Shared joins the queue before it lets go of anything.
    tcp::acceptor* acceptor = nullptr;
    {
      const auto shared = weakShared.lock();
      if (!shared || shared->stopped)
        co_return;
      acceptor = &shared->acceptor;
    }
    tcp::endpoint peer;
    auto [error, socket] = co_await acceptor->async_accept(peer, kUseTuple);
    if (error == asio::error::operation_aborted)
      co_return;
    if (error && isTransientAcceptError(error)) {
      asio::steady_timer pause(acceptor->get_executor(), std::chrono::milliseconds(100));
      co_await pause.async_wait(kUseTuple);
      continue;
    }
    if (error) {
      error_code ignored;
      acceptor->close(ignored);
      reportState(weakShared, State::failed, error.message());
      co_return;
    }
    const auto shared = weakShared.lock();
    if (!shared || shared->stopped)
      co_return;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(std::move(socket), peerText(peer));
    // Refused: the socket closes with `connection`.
    if (!shared->admit(connection))
      continue;
    asio::co_spawn(shared->queue.executor(), serve(weakShared, std::move(connection)),
                   reportConnectionFailure());
  }
}

Awaitable<void> LocalHTTPListener::serve(std::weak_ptr<Shared> weakShared,
                                         std::shared_ptr<Connection> connection) {
  LocalHTTPListenerOptions options;
  std::shared_ptr<BufferBudget> budget;
  // A raw pointer across awaits, as for the acceptor: Shared joins this queue before it goes.
  DiscardBuffer* discard = nullptr;
  {
    const auto shared = weakShared.lock();
    if (!shared)
      co_return;
    options = shared->options;
    budget = shared->budget;
    discard = &shared->discard;
  }
  auto& stream = connection->stream;
  std::optional<LocalHTTPRequestReader> reader(std::in_place, connection->remotePeer);
  // Held until the connection ends: a parsed request lives on in the handler until answered.
  BufferReservation reservation(std::move(budget));
  // Every read from the peer ends by this: the head's deadline, then the body's.
  auto deadline = connection->acceptedAt + options.headTimeout;
  bool bodyDeadlineSet = false;
  for (;;) {
    // Past the shared budget the request is refused below rather than waited for.
    if (!reservation.growTo(reader->bufferSizeFor(kMaxReadBytes)))
      break;
    const std::span<char> room = reader->prepare(kMaxReadBytes);
    stream.expires_at(readExpiry(deadline, options.idleTimeout));
    auto [error, count] = co_await stream.async_read_some(asio::buffer(room), kUseTuple);
    {
      const auto shared = weakShared.lock();
      // Closed by a deadline, or to make room: there is nobody left to answer.
      if (!shared || shared->stopped || !stream.socket().is_open()) {
        stream.close();
        co_return;
      }
    }
    // The peer finishing or failing ends the request as it stands.
    if (reader->commit(count) != LocalHTTPParseStatus::incomplete || error)
      break;
    if (const auto bodyLength = reader->bodyLength(); bodyLength && !bodyDeadlineSet) {
      deadline = std::chrono::steady_clock::now() + bodyAllowance(options, *bodyLength);
      bodyDeadlineSet = true;
    }
  }
  connection->reading = false;
  std::optional<LocalHTTPRequest> request = std::move(reader->request());
  reader.reset();
  if (!request)
    reservation.release();

  LocalHTTPResponse response = emptyBadRequest();
  if (request) {
    {
      const auto shared = weakShared.lock();
      if (!shared)
        co_return;
      std::weak_ptr<Connection> weakConnection = connection;
      asio::co_spawn(
          shared->mainExecutor, answerOnMain(weakShared, std::move(*request)),
          [weakShared, weakConnection](std::exception_ptr failure, LocalHTTPResponse answer) {
            if (failure)
              answer = responseForFailure(failure);
            const auto shared = weakShared.lock();
            if (!shared)
              return;
            asio::post(shared->queue.executor(),
                       [weakConnection, answer = std::move(answer)]() mutable {
                         if (const auto connection = weakConnection.lock()) {
                           connection->answer = std::move(answer);
                           connection->answerArrived.cancel();
                         }
                       });
          });
    }
    // The answer is posted to this queue, so it cannot slip in between the check and the wait.
    while (!connection->answer) {
      connection->answerArrived.expires_at(asio::steady_timer::time_point::max());
      co_await connection->answerArrived.async_wait(kUseTuple);
    }
    response = std::move(*connection->answer);
  }

  const std::string bytes = response.encoded();
  stream.expires_after(options.idleTimeout);
  co_await asio::async_write(stream, asio::buffer(bytes), kUseTuple);
  error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  if (!request) {
    // A peer still sending what we refused would get a reset instead of the answer if we
    // closed with its bytes unread: read and drop them, within the same bounds, until it stops.
    connection->reading = true;
    std::size_t drained = 0;
    while (drained < kLocalHTTPMaxRequestBytes) {
      stream.expires_at(readExpiry(deadline, options.idleTimeout));
      auto [error, count] = co_await stream.async_read_some(asio::buffer(*discard), kUseTuple);
      if (error)
        break;
      drained += count;
    }
  }
  stream.close();
}

Awaitable<LocalHTTPResponse> LocalHTTPListener::answerOnMain(std::weak_ptr<Shared> weakShared,
                                                             LocalHTTPRequest request) {
  RequestHandler handler;
  {
    const auto shared = weakShared.lock();
    if (!shared)
      throw boost::system::system_error(asio::error::operation_aborted);
    handler = shared->handler;
  }
  co_return co_await handler(std::move(request));
}

}  // namespace tavolin
