#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace tavolin::testing {

struct RecordedRequest {
  std::size_t connection = 0;  // index of the accepted connection, from 0
  std::string head;            // request line and header lines, through the blank line
  std::string body;
  std::string serverName;  // the TLS server name the client sent, if any

  std::string requestLine() const;
  // Header lines in the order they were sent.
  std::vector<std::pair<std::string, std::string>> headers() const;
  // The first value of `name`, compared without regard to case.
  std::optional<std::string> header(std::string_view name) const;
};

// The server's answer to one request: raw bytes written in pieces, each optionally held back
// until the test opens a gate, so a test can observe what the client does mid-response.
struct ScriptedReply {
  struct Piece {
    std::string bytes;
    std::optional<std::size_t> afterGate;
  };
  std::vector<Piece> pieces;
  // Close the connection once the pieces are written (else wait for the next request).
  bool closeAfter = false;

  static ScriptedReply bytes(std::string raw, bool closeAfter = false);
};

// A loopback HTTP/1.1 server on its own thread that records each raw request and answers with
// canned bytes, in the order the replies were queued. A request with no reply queued gets a
// 599 and a closed connection.
class ScriptedHTTPServer {
 public:
  struct TLSFiles {
    std::filesystem::path certificate;
    std::filesystem::path privateKey;
  };

  explicit ScriptedHTTPServer(std::optional<TLSFiles> tls = std::nullopt);
  ~ScriptedHTTPServer();
  ScriptedHTTPServer(const ScriptedHTTPServer&) = delete;
  ScriptedHTTPServer& operator=(const ScriptedHTTPServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https, or another host name that resolves to loopback).
  std::string origin(std::string_view host = "127.0.0.1") const;

  void enqueue(ScriptedReply reply);
  std::size_t makeGate();
  void openGate(std::size_t gate);

  std::vector<RecordedRequest> requests() const;
  std::size_t acceptedConnections() const;
  // Blocks until this many connections have ended (closed by either side).
  void waitForClosedConnections(std::size_t count);

  // "HTTP/1.1 <status>" with a Content-Length, the extra header lines and the body.
  static std::string response(int status, std::string_view body,
                              const std::vector<std::string>& headerLines = {});
  // One chunk of a chunked body; an empty `data` is not allowed (that is the last chunk).
  static std::string chunk(std::string_view data);
  static constexpr std::string_view lastChunk = "0\r\n\r\n";

 private:
  struct Gate;
  boost::asio::awaitable<void> acceptLoop();
  template <class Stream>
  boost::asio::awaitable<void> serve(Stream& stream, std::size_t index);
  boost::asio::awaitable<void> waitForGate(std::size_t gate);

  std::optional<boost::asio::ssl::context> tlsContext_;
  mutable std::mutex mutex_;
  std::condition_variable closed_;
  std::deque<ScriptedReply> replies_;
  std::vector<RecordedRequest> requests_;
  std::size_t accepted_ = 0;
  std::size_t closedCount_ = 0;
  std::map<std::size_t, std::shared_ptr<Gate>> gates_;
  std::uint16_t port_ = 0;
  // Declared last: destroyed first, taking the connections' coroutines with it while the state
  // above is still alive.
  boost::asio::io_context context_;
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::thread thread_;
};

}  // namespace tavolin::testing
