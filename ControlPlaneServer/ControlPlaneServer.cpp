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

#include "ControlPlaneServer/ClientAddress.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"

namespace tavolin {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

constexpr auto kUseTuple = asio::as_tuple(asio::use_awaitable);
// Signals read from the store per query while a stream catches up.
constexpr std::size_t kStreamBatch = 100;
// What a new connection's first read takes in, before the head parser takes over.
constexpr std::size_t kFirstRead = 4096;
constexpr auto kDrainTime = std::chrono::seconds(5);
// A request refused because the body budget over all connections is spent.
const boost::system::error_code kBuffersFull = asio::error::no_buffer_space;

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
  asio::co_spawn(executor_, acceptConnections(),
                 reportFailureTo(diagnostics_, "TAVOLIN_CONTROL_PLANE_ACCEPT_FAILED"));
  return acceptor_.local_endpoint().port();
}

void ControlPlaneServer::stop() {
  if (stopping_)
    return;
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  hub_.closeAll();
  // Streams close themselves once they have written their "close" event, answers once written.
  for (Connection* connection : connections_) {
    if (connection->phase == Connection::Phase::waiting ||
        connection->phase == Connection::Phase::reading)
      connection->stream.close();
  }
}

bool ControlPlaneServer::closeOldestWaiting() {
  Connection* oldest = nullptr;
  for (Connection* connection : connections_) {
    if (connection->phase == Connection::Phase::waiting &&
        (oldest == nullptr || connection->waitingSince < oldest->waitingSince))
      oldest = connection;
  }
  if (oldest == nullptr)
    return false;
  // Its coroutine ends at its next step; the slot is free from now.
  connections_.erase(oldest);
  oldest->stream.close();
  return true;
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
    const auto peer = socket.remote_endpoint(ignored);
    if (connections_.size() >= limits_.maxConnections && !closeOldestWaiting()) {
      // Every slot is busy with real work: this client tries again later.
      socket.close(ignored);
      continue;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(std::move(socket), peer.address());
    connections_.insert(connection.get());
    asio::co_spawn(executor_, serve(connection),
                   reportFailureTo(diagnostics_, "TAVOLIN_CONTROL_PLANE_CONNECTION_FAILED"));
  }
}

std::chrono::steady_clock::duration ControlPlaneServer::transferTime(std::size_t bytes) const {
  return std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 1'000'000 /
                                   static_cast<std::int64_t>(limits_.minTransferRate));
}

Awaitable<void> ControlPlaneServer::refuse(Connection& connection,
                                           const boost::system::error_code& error) {
  http::status status = http::status::bad_request;
  std::string_view code = "bad_request";
  if (error == http::error::body_limit) {
    status = http::status::payload_too_large;
    code = "payload_too_large";
  } else if (error == http::error::header_limit) {
    code = "header_too_large";
  } else if (error == kBuffersFull) {
    code = "server_busy";
  } else if (isQuietEnding(error) || stopping_) {
    co_return;
  }
  ControlPlaneRequest placeholder(http::verb::get, "/", 11);
  placeholder.keep_alive(false);
  auto response = ControlPlaneRoutes::errorResponse(
      ControlPlaneError(static_cast<int>(status), std::string(code)), placeholder);
  connection.phase = Connection::Phase::answering;
  connection.stream.expires_after(limits_.writeTimeout);
  auto [writeError, written] = co_await http::async_write(connection.stream, response, kUseTuple);
  if (!writeError)
    co_await drainBeforeClosing(connection);
}

Awaitable<void> ControlPlaneServer::drainBeforeClosing(Connection& connection) {
  // A client still sending would get a reset instead of our answer if we closed now, and a
  // reset may discard the answer it has not read yet. Read and drop what it sends until it
  // closes its side, within a bound of bytes and one deadline for the lot: a trickle must not
  // stretch it. The cap may close a draining connection like a waiting one.
  connection.phase = Connection::Phase::waiting;
  connection.waitingSince = std::chrono::steady_clock::now();
  boost::system::error_code ignored;
  connection.stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  std::array<char, 64 * 1024> discard{};
  std::size_t drained = 0;
  connection.stream.expires_after(kDrainTime);
  while (drained < limits_.maxRequestBytes * 2) {
    auto [error, read] =
        co_await connection.stream.async_read_some(asio::buffer(discard), kUseTuple);
    if (error)
      break;
    drained += read;
  }
}

// Holds a share of the server's body budget for one request, and gives it back at the end.
class ControlPlaneServer::BodyReservation {
 public:
  explicit BodyReservation(ControlPlaneServer& server) : server_(server) {}
  BodyReservation(const BodyReservation&) = delete;
  BodyReservation& operator=(const BodyReservation&) = delete;
  ~BodyReservation() { server_.bufferedBytes_ -= held_; }

  // Holds `bytes` instead of what it held; false, holding as before, when the budget lacks it.
  bool resize(std::size_t bytes) {
    const std::size_t others = server_.bufferedBytes_ - held_;
    if (bytes > server_.limits_.maxBufferedBytes - others)
      return false;
    server_.bufferedBytes_ = others + bytes;
    held_ = bytes;
    return true;
  }

 private:
  ControlPlaneServer& server_;
  std::size_t held_ = 0;
};

Awaitable<boost::system::error_code> ControlPlaneServer::readHead(Connection& connection,
                                                                  beast::flat_buffer& buffer,
                                                                  RequestParser& parser,
                                                                  bool newConnection) {
  auto& stream = connection.stream;
  // One deadline per head: bytes arriving do not move it.
  stream.expires_after(limits_.headTimeout);
  if (newConnection && buffer.size() == 0) {
    auto [error, read] = co_await stream.async_read_some(buffer.prepare(kFirstRead), kUseTuple);
    if (error)
      co_return error;
    buffer.commit(read);
    stream.expires_after(limits_.headTimeout);
  }
  auto [error, read] = co_await http::async_read_header(stream, buffer, parser, kUseTuple);
  co_return error;
}

Awaitable<boost::system::error_code> ControlPlaneServer::readBody(Connection& connection,
                                                                  beast::flat_buffer& buffer,
                                                                  RequestParser& parser,
                                                                  BodyReservation& reservation) {
  auto& stream = connection.stream;
  // Beast's string body reserves a declared length at once, so that much is held from now.
  const auto declared = parser.content_length();
  if (declared && !reservation.resize(static_cast<std::size_t>(*declared)))
    co_return kBuffersFull;
  if (parser.get()[http::field::expect] == "100-continue") {
    http::response<http::empty_body> proceed(http::status::continue_, 11);
    stream.expires_after(limits_.writeTimeout);
    auto [error, written] = co_await http::async_write(stream, proceed, kUseTuple);
    if (error)
      co_return error;
  }
  const auto start = std::chrono::steady_clock::now();
  while (!parser.is_done()) {
    // A chunked body's deadline grows only with what has arrived.
    const auto size = declared ? static_cast<std::size_t>(*declared) : parser.get().body().size();
    stream.expires_at(start + limits_.bodyTimeout + transferTime(size));
    auto [error, read] = co_await http::async_read_some(stream, buffer, parser, kUseTuple);
    if (error)
      co_return error;
    if (!declared && !reservation.resize(parser.get().body().size()))
      co_return kBuffersFull;
  }
  co_return boost::system::error_code{};
}

Awaitable<void> ControlPlaneServer::serve(std::shared_ptr<Connection> connection) {
  struct Unregister {
    ControlPlaneServer& server;
    Connection* connection;
    ~Unregister() { server.connections_.erase(connection); }
  } unregister{*this, connection.get()};

  auto& stream = connection->stream;
  beast::flat_buffer buffer;
  bool newConnection = true;
  while (!stopping_) {
    connection->phase = Connection::Phase::waiting;
    connection->waitingSince = std::chrono::steady_clock::now();
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
    parser.body_limit(limits_.maxRequestBytes);
    BodyReservation reservation(*this);
    auto error = co_await readHead(*connection, buffer, parser, newConnection);
    newConnection = false;
    if (!error) {
      connection->phase = Connection::Phase::reading;
      error = co_await readBody(*connection, buffer, parser, reservation);
    }
    if (error) {
      co_await refuse(*connection, error);
      break;
    }

    connection->phase = Connection::Phase::answering;
    const ControlPlaneRequest request = parser.release();
    std::optional<std::string_view> forwardedFor;
    if (const auto field = request.find("x-forwarded-for"); field != request.end())
      forwardedFor = std::string_view(field->value().data(), field->value().size());
    auto result = routes_.handle(request, clientIdentity(connection->peer, forwardedFor));
    if (auto* response = std::get_if<ControlPlaneResponse>(&result)) {
      const bool keepAlive = response->keep_alive();
      stream.expires_after(limits_.writeTimeout + transferTime(response->body().size()));
      auto [writeError, written] = co_await http::async_write(stream, *response, kUseTuple);
      if (writeError || !keepAlive)
        break;
    } else {
      connection->phase = Connection::Phase::streaming;
      const bool keepAlive =
          co_await streamSignals(*connection, request, std::get<SignalStreamRequest>(result));
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
