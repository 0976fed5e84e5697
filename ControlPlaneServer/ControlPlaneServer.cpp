#include "ControlPlaneServer/ControlPlaneServer.hpp"

#include <array>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json.hpp>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"

namespace tavolin {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

constexpr auto kUseTuple = asio::as_tuple(asio::use_awaitable);
// Signals read from the store per query while a stream catches up.
constexpr std::size_t kStreamBatch = 100;

// Endings a connection is expected to meet: the peer closed, went quiet, or we closed it.
bool isQuietEnding(const boost::system::error_code& error) {
  return error == http::error::end_of_stream || error == asio::error::operation_aborted ||
         error == beast::error::timeout || error == asio::error::eof ||
         error == asio::error::connection_reset || error == asio::error::broken_pipe ||
         error == asio::error::bad_descriptor;
}

// The data of "ready", "heartbeat" and "close" events. Built outside the coroutines: GCC 12
// mishandles string-literal initialiser lists inside coroutine frames.
boost::json::object positionEnvelope(std::int64_t afterSequence, std::string sentAt,
                                     const std::string& reason = {}) {
  boost::json::object data;
  data["afterSequence"] = afterSequence;
  data["sentAt"] = std::move(sentAt);
  if (!reason.empty())
    data["reason"] = reason;
  return data;
}

boost::json::object signalEnvelope(const TavolinSignal& signal) {
  boost::json::object data;
  data["signal"] = toJSON(signal);
  return data;
}

}  // namespace

ControlPlaneServer::ControlPlaneServer(Executor executor, ControlPlaneStore& store,
                                       const Clock& clock, ControlPlaneOptions options,
                                       std::ostream& diagnostics, Limits limits)
    : executor_(executor),
      store_(store),
      clock_(clock),
      diagnostics_(diagnostics),
      limits_(limits),
      routes_(store, hub_, std::move(options), diagnostics),
      acceptor_(executor) {}

std::uint16_t ControlPlaneServer::listen(const tcp::endpoint& endpoint) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  asio::co_spawn(executor_, acceptConnections(), [this](std::exception_ptr failure) {
    if (!failure)
      return;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      diagnostics_ << "TAVOLIN_CONTROL_PLANE_ACCEPT_FAILED " << error.what() << std::endl;
    }
  });
  return acceptor_.local_endpoint().port();
}

void ControlPlaneServer::stop() {
  if (stopping_)
    return;
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  hub_.closeAll();
  // Streams close themselves once they have written their "close" event.
  for (Connection* connection : connections_) {
    if (!connection->streaming)
      connection->stream.close();
  }
}

Awaitable<void> ControlPlaneServer::acceptConnections() {
  while (!stopping_) {
    auto [error, socket] = co_await acceptor_.async_accept(kUseTuple);
    if (stopping_ || error == asio::error::operation_aborted)
      co_return;
    if (error) {
      // Out of descriptors, typically: back off briefly instead of spinning.
      diagnostics_ << "TAVOLIN_CONTROL_PLANE_ACCEPT_ERROR " << error.message() << std::endl;
      asio::steady_timer pause(executor_, std::chrono::milliseconds(100));
      co_await pause.async_wait(kUseTuple);
      continue;
    }
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(std::move(socket));
    asio::co_spawn(executor_, serve(connection), [this](std::exception_ptr failure) {
      if (!failure)
        return;
      try {
        std::rethrow_exception(failure);
      } catch (const std::exception& error) {
        diagnostics_ << "TAVOLIN_CONTROL_PLANE_CONNECTION_FAILED " << error.what() << std::endl;
      }
    });
  }
}

Awaitable<void> ControlPlaneServer::writeFailure(Connection& connection, http::status status,
                                                 std::string_view code) {
  ControlPlaneRequest placeholder(http::verb::get, "/", 11);
  placeholder.keep_alive(false);
  auto response = ControlPlaneRoutes::errorResponse(
      ControlPlaneError(static_cast<int>(status), std::string(code)), placeholder);
  connection.stream.expires_after(limits_.writeTimeout);
  co_await http::async_write(connection.stream, response, kUseTuple);
}

Awaitable<void> ControlPlaneServer::drainBeforeClosing(Connection& connection) {
  // A client still sending its body would get a reset instead of our answer if we closed now,
  // and a reset may discard the answer it has not read yet. Read and drop what it sends, within
  // a bound, until it closes its side.
  boost::system::error_code ignored;
  connection.stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  std::array<char, 64 * 1024> discard{};
  std::size_t drained = 0;
  while (drained < limits_.maxRequestBytes * 2) {
    connection.stream.expires_after(std::chrono::seconds(5));
    auto [error, read] =
        co_await connection.stream.async_read_some(asio::buffer(discard), kUseTuple);
    if (error)
      break;
    drained += read;
  }
}

Awaitable<void> ControlPlaneServer::serve(std::shared_ptr<Connection> connection) {
  connections_.insert(connection.get());
  struct Unregister {
    ControlPlaneServer& server;
    Connection* connection;
    ~Unregister() { server.connections_.erase(connection); }
  } unregister{*this, connection.get()};

  auto& stream = connection->stream;
  beast::flat_buffer buffer;
  while (!stopping_) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(limits_.maxRequestBytes);

    stream.expires_after(limits_.idleTimeout);
    auto [headerError, headerBytes] =
        co_await http::async_read_header(stream, buffer, parser, kUseTuple);
    if (!headerError && parser.get()[http::field::expect] == "100-continue") {
      http::response<http::empty_body> proceed(http::status::continue_, 11);
      stream.expires_after(limits_.writeTimeout);
      auto [continueError, continueBytes] = co_await http::async_write(stream, proceed, kUseTuple);
      headerError = continueError;
    }
    boost::system::error_code error = headerError;
    if (!error) {
      stream.expires_after(limits_.idleTimeout);
      auto [bodyError, bodyBytes] = co_await http::async_read(stream, buffer, parser, kUseTuple);
      error = bodyError;
    }
    if (error == http::error::body_limit) {
      co_await writeFailure(*connection, http::status::payload_too_large, "payload_too_large");
      co_await drainBeforeClosing(*connection);
      break;
    }
    if (error) {
      if (!isQuietEnding(error) && !stopping_)
        co_await writeFailure(*connection, http::status::bad_request, "bad_request");
      break;
    }

    const ControlPlaneRequest request = parser.release();
    auto result = routes_.handle(request);
    if (auto* response = std::get_if<ControlPlaneResponse>(&result)) {
      const bool keepAlive = response->keep_alive();
      stream.expires_after(limits_.writeTimeout);
      auto [writeError, written] = co_await http::async_write(stream, *response, kUseTuple);
      if (writeError || !keepAlive)
        break;
    } else {
      connection->streaming = true;
      const bool keepAlive =
          co_await streamSignals(*connection, request, std::get<SignalStreamRequest>(result));
      connection->streaming = false;
      if (!keepAlive)
        break;
    }
  }
  boost::system::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream.close();
}

Awaitable<bool> ControlPlaneServer::writeEvent(Connection& connection, bool chunked,
                                               std::string_view name,
                                               const boost::json::object& data) {
  std::string text;
  text.append("event: ").append(name).append("\ndata: ");
  text.append(boost::json::serialize(data)).append("\n\n");
  connection.stream.expires_after(limits_.writeTimeout);
  if (chunked) {
    auto [error, written] = co_await asio::async_write(
        connection.stream, http::make_chunk(asio::buffer(text)), kUseTuple);
    co_return !error;
  }
  auto [error, written] =
      co_await asio::async_write(connection.stream, asio::buffer(text), kUseTuple);
  co_return !error;
}

Awaitable<bool> ControlPlaneServer::streamSignals(Connection& connection,
                                                  const ControlPlaneRequest& request,
                                                  const SignalStreamRequest& stream) {
  // HTTP/1.0 has no chunked encoding: the body then ends with the connection.
  const bool chunked = request.version() >= 11;
  http::response<http::empty_body> header(http::status::ok, request.version());
  header.set(http::field::server, "tavolin-control-plane");
  header.set(http::field::content_type, "text/event-stream");
  header.set(http::field::cache_control, "no-cache");
  // Proxies such as nginx would otherwise hold events back in their buffers.
  header.set("x-accel-buffering", "no");
  header.keep_alive(chunked && request.keep_alive());
  if (chunked)
    header.chunked(true);
  http::response_serializer<http::empty_body> serializer(header);
  connection.stream.expires_after(limits_.writeTimeout);
  auto [headerError, headerBytes] =
      co_await http::async_write_header(connection.stream, serializer, kUseTuple);
  if (headerError)
    co_return false;

  // Subscribe before the first read of the store, so a signal stored in between still wakes us.
  SignalHub::Subscription subscription(hub_, stream.sessionId, executor_);
  std::int64_t cursor = stream.afterSequence;
  const auto sentAt = [this] { return TavolinISO8601::string(clock_.now()); };

  if (!co_await writeEvent(connection, chunked, "ready", positionEnvelope(cursor, sentAt()))) {
    co_return false;
  }
  auto heartbeatAt = std::chrono::steady_clock::now() + limits_.heartbeatInterval;
  std::string closeReason;
  for (;;) {
    for (;;) {
      const auto batch = store_.signalsAfter(stream.sessionId, cursor, kStreamBatch);
      for (const auto& signal : batch) {
        if (!co_await writeEvent(connection, chunked, "signal", signalEnvelope(signal))) {
          co_return false;
        }
        cursor = signal.sequence;
      }
      if (batch.size() < kStreamBatch)
        break;
    }
    const auto status = store_.sessionStatus(stream.sessionId);
    if (!status || *status == "ended") {
      closeReason = "session_ended";
      break;
    }
    const auto wake = co_await subscription.wait(heartbeatAt);
    if (wake == SignalHub::Wake::closed) {
      closeReason = "server_shutdown";
      break;
    }
    if (wake == SignalHub::Wake::deadline) {
      if (!co_await writeEvent(connection, chunked, "heartbeat",
                               positionEnvelope(cursor, sentAt()))) {
        co_return false;
      }
      heartbeatAt = std::chrono::steady_clock::now() + limits_.heartbeatInterval;
    }
  }

  if (!co_await writeEvent(connection, chunked, "close",
                           positionEnvelope(cursor, sentAt(), closeReason))) {
    co_return false;
  }
  if (!chunked)
    co_return false;
  connection.stream.expires_after(limits_.writeTimeout);
  auto [lastError, lastBytes] =
      co_await asio::async_write(connection.stream, http::make_chunk_last(), kUseTuple);
  co_return !lastError && request.keep_alive() && !stopping_;
}

}  // namespace tavolin
