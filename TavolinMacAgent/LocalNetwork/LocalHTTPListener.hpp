#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"

namespace tavolin {

// Neither the preferred port nor any free port could be bound.
class LocalHTTPListenerError : public TavolinError {
 public:
  using TavolinError::TavolinError;
};

// The queue's label and the bounds on what peers can make the listener hold; tests shrink them.
struct LocalHTTPListenerOptions {
  std::string queueLabel = "com.tavolin.agent.local-network";
  // A peer that sends nothing for this long, or does not take the answer, is dropped.
  std::chrono::steady_clock::duration idleTimeout = std::chrono::seconds(30);
  // A whole request head must arrive within this long of the accept; bytes do not extend it.
  std::chrono::steady_clock::duration headTimeout = std::chrono::seconds(10);
  // From the end of the head, the body gets this long plus its announced length at
  // `minBodyBytesPerSecond` (at least 1).
  std::chrono::steady_clock::duration bodyTimeout = std::chrono::seconds(10);
  std::size_t minBodyBytesPerSecond = 128 * 1024;
  // At this many open connections (at least 1), the oldest one still reading from its peer is
  // closed to make room; a newcomer is refused only when every open one is being answered.
  std::size_t maxConnections = 512;
  // What the request buffers of all connections may hold together; a read that would pass it
  // is answered 400 instead of waited for.
  std::size_t maxBufferedBytes = 64 * 1024 * 1024;
};

// The local server's TCP listener and its connections: one request per connection, answered
// and closed, within the bounds of LocalHTTPListenerOptions. The acceptor and every connection
// run on a private serial queue (label ending in ".local-network"); each parsed request is handed
// to `handler` on `mainExecutor`, and the encoded answer goes back to the queue to be sent.
//
// Threads: construct, bind(), start(), stop() and destroy on the main executor's thread (or
// while it is not running). `handler` and the state handler are only ever called on
// `mainExecutor`, never after the listener is destroyed. stop() and the destructor join the
// queue and close the acceptor and every connection.
class LocalHTTPListener {
 public:
  using RequestHandler = std::function<Awaitable<LocalHTTPResponse>(LocalHTTPRequest)>;

  enum class State { ready, failed, cancelled };
  // `description` is empty except for `failed`.
  using StateHandler = std::function<void(State state, const std::string& description)>;

  struct Binding {
    std::uint16_t port = 0;
    // Why the preferred port could not be used, when the listener fell back to a free one.
    std::optional<std::string> preferredPortFailure;
  };

  static constexpr std::uint16_t kDefaultPort = 57852;
  static constexpr std::size_t kMaxReadBytes = 1024 * 1024;

  // `TAVOLIN_LOCAL_PORT` when it is a valid port number, else kDefaultPort.
  static std::uint16_t preferredPort(const Environment& environment);

  // "192.168.1.20:51234", "[fe80::1%eth0]:5000"; IPv4-mapped IPv6 addresses read as IPv4.
  static std::string peerText(const asio::ip::tcp::endpoint& endpoint);

  LocalHTTPListener(Executor mainExecutor, RequestHandler handler,
                    LocalHTTPListenerOptions options = {});
  ~LocalHTTPListener();
  LocalHTTPListener(const LocalHTTPListener&) = delete;
  LocalHTTPListener& operator=(const LocalHTTPListener&) = delete;

  // Binds all interfaces (IPv6 dual-stack, else IPv4) on `preferredPort`, else on a free port.
  // Throws LocalHTTPListenerError when neither works. Call once, before start().
  Binding bind(std::uint16_t preferredPort);

  // Starts accepting. `onState` hears `ready` once accepting, `failed` when the listening socket
  // breaks, and `cancelled` after stop().
  void start(StateHandler onState);

  // The bound port, once bind() has succeeded.
  std::optional<std::uint16_t> port() const { return port_; }

  // Idempotent.
  void stop();

 private:
  struct Shared;
  struct Connection;

  static Awaitable<void> acceptConnections(std::weak_ptr<Shared> weakShared);
  static Awaitable<void> serve(std::weak_ptr<Shared> weakShared,
                               std::shared_ptr<Connection> connection);
  static Awaitable<LocalHTTPResponse> answerOnMain(std::weak_ptr<Shared> weakShared,
                                                   LocalHTTPRequest request);
  static void reportState(const std::weak_ptr<Shared>& weakShared, State state,
                          std::string description);

  std::shared_ptr<Shared> shared_;
  std::optional<std::uint16_t> port_;
};

}  // namespace tavolin
