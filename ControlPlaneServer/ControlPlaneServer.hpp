#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_set>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "ControlPlaneServer/ControlPlaneRoutes.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "ControlPlaneServer/SignalHub.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// The control plane's HTTP/1.1 front: one coroutine per connection with keep-alive, a size
// limit on every request and a timeout on every read and write, the REST routes, and the
// server-sent signal streams ("ready", then each signal as soon as it is stored, "heartbeat"
// while idle, "close" when the session ends or the server stops). Plain HTTP: TLS belongs to a
// reverse proxy in front.
//
// Everything runs on `executor`, which must be single-threaded (the store and the hub are not
// locked). After stop(), let the executor run until it has no work left before destroying the
// server: the connection coroutines refer to it. `store`, `clock` and `diagnostics` must outlive
// the server.
class ControlPlaneServer {
 public:
  struct Limits {
    std::size_t maxRequestBytes = 16 * 1024 * 1024;
    std::chrono::steady_clock::duration idleTimeout = std::chrono::seconds(60);
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
    explicit Connection(asio::ip::tcp::socket socket) : stream(std::move(socket)) {}
    boost::beast::tcp_stream stream;
    bool streaming = false;
  };

  Awaitable<void> acceptConnections();
  Awaitable<void> serve(std::shared_ptr<Connection> connection);
  // True when the connection may carry another request afterwards.
  Awaitable<bool> streamSignals(Connection& connection, const ControlPlaneRequest& request,
                                const SignalStreamRequest& stream);
  Awaitable<bool> writeEvent(Connection& connection, bool chunked, std::string_view name,
                             const boost::json::object& data);
  Awaitable<void> drainBeforeClosing(Connection& connection);
  Awaitable<void> writeFailure(Connection& connection, boost::beast::http::status status,
                               std::string_view code);

  Executor executor_;
  ControlPlaneStore& store_;
  const Clock& clock_;
  std::ostream& diagnostics_;
  Limits limits_;
  SignalHub hub_;
  ControlPlaneRoutes routes_;
  asio::ip::tcp::acceptor acceptor_;
  std::unordered_set<Connection*> connections_;
  bool stopping_ = false;
};

}  // namespace tavolin
