#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_set>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "ControlPlaneServer/ControlPlaneRoutes.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "ControlPlaneServer/SignalHub.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// The control plane's HTTP/1.1 front: one coroutine per connection with keep-alive, the REST
// routes, and the server-sent signal streams ("ready", then each signal as soon as it is stored,
// "heartbeat" while idle, "close" when the session ends or the server stops). Plain HTTP: TLS
// belongs to a reverse proxy in front, on loopback, whose "x-forwarded-for" names the client.
//
// Hostile clients are bounded (Limits): a deadline for each whole request head, not moved by the
// bytes that trickle in; a body deadline that grows with the body's size at a minimum rate; a
// size limit on heads and bodies; a cap on body bytes held across all connections; and a cap on
// connections, where a new one first closes the connection that has waited longest for a
// request head, and is refused only when none is waiting. Signal streams never count as waiting.
//
// Everything runs on `executor`, which must be single-threaded (the store and the hub are not
// locked). After stop(), let the executor run until it has no work left before destroying the
// server: the connection coroutines refer to it. `store`, `clock` and `diagnostics` must outlive
// the server.
class ControlPlaneServer {
 public:
  struct Limits {
    // A request body; screen frames are the largest.
    std::size_t maxRequestBytes = 16 * 1024 * 1024;
    // A request line and header fields together.
    std::size_t maxHeaderBytes = 64 * 1024;
    // Request bodies held at once, over all connections.
    std::size_t maxBufferedBytes = 256 * 1024 * 1024;
    std::size_t maxConnections = 512;
    // For a whole request head, from its first byte on a new connection, from the end of the
    // previous answer on a kept-alive one. A new connection gets as long for its first byte.
    std::chrono::steady_clock::duration headTimeout = std::chrono::seconds(10);
    // A body gets this plus its size at minTransferRate; an answer gets writeTimeout plus its
    // size at that rate.
    std::chrono::steady_clock::duration bodyTimeout = std::chrono::seconds(10);
    std::size_t minTransferRate = 128 * 1024;  // bytes per second
    std::chrono::steady_clock::duration writeTimeout = std::chrono::seconds(30);
    std::chrono::steady_clock::duration heartbeatInterval = std::chrono::seconds(15);
  };

  ControlPlaneServer(Executor executor, ControlPlaneStore& store, const Clock& clock,
                     ControlPlaneOptions options, std::ostream& diagnostics, Limits limits);
  ControlPlaneServer(const ControlPlaneServer&) = delete;
  ControlPlaneServer& operator=(const ControlPlaneServer&) = delete;

  // Binds, listens and starts accepting; returns the bound port (useful with port 0).
  // Throws boost::system::system_error when the address cannot be bound.
  std::uint16_t listen(const asio::ip::tcp::endpoint& endpoint);

  // Stops accepting, closes idle connections, and ends every signal stream with a "close" event;
  // connections in the middle of a response finish it and close. Idempotent.
  void stop();

 private:
  struct Connection {
    Connection(asio::ip::tcp::socket socket, asio::ip::address peer)
        : stream(std::move(socket)), peer(std::move(peer)) {}
    boost::beast::tcp_stream stream;
    asio::ip::address peer;
    // `waiting` covers the wait for a request head and the drain before closing: those are the
    // connections the cap may close.
    enum class Phase { waiting, reading, answering, streaming } phase = Phase::waiting;
    std::chrono::steady_clock::time_point waitingSince{};
  };
  class BodyReservation;
  using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  Awaitable<void> acceptConnections();
  // At the connection cap: closes the connection waiting longest; false when none waits.
  bool closeOldestWaiting();
  Awaitable<void> serve(std::shared_ptr<Connection> connection);
  Awaitable<boost::system::error_code> readHead(Connection& connection,
                                                boost::beast::flat_buffer& buffer,
                                                RequestParser& parser, bool newConnection);
  Awaitable<boost::system::error_code> readBody(Connection& connection,
                                                boost::beast::flat_buffer& buffer,
                                                RequestParser& parser,
                                                BodyReservation& reservation);
  // Answers a request that failed before the routes saw it, when there is an answer to give.
  Awaitable<void> refuse(Connection& connection, const boost::system::error_code& error);
  // True when the connection may carry another request afterwards.
  Awaitable<bool> streamSignals(Connection& connection, const ControlPlaneRequest& request,
                                const SignalStreamRequest& stream);
  Awaitable<bool> writeEvent(Connection& connection, bool chunked, std::string_view name,
                             const boost::json::object& data);
  Awaitable<void> drainBeforeClosing(Connection& connection);
  // The time `bytes` may take at the minimum transfer rate.
  std::chrono::steady_clock::duration transferTime(std::size_t bytes) const;

  Executor executor_;
  ControlPlaneStore& store_;
  const Clock& clock_;
  std::ostream& diagnostics_;
  Limits limits_;
  SignalHub hub_;
  ControlPlaneRoutes routes_;
  asio::ip::tcp::acceptor acceptor_;
  std::unordered_set<Connection*> connections_;
  std::size_t bufferedBytes_ = 0;
  bool stopping_ = false;
};

}  // namespace tavolin
