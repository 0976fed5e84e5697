#pragma once

// A small HTTP/1.1 client for the control planes: one request at a time per connection, idle
// connections kept for reuse, and a streaming mode that hands out body lines as they arrive
// (server-sent events).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// Header fields in the order they are sent or were received.
using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// GCC 12 miscompiles a braced HTTPRequest temporary written as an argument inside a coroutine
// (its strings are freed from the wrong place): build the request in a variable first.
struct HTTPRequest {
  std::string method = "GET";
  // An absolute http or https URL; its fragment is never sent.
  std::string url{};
  HTTPHeaders headers{};
  std::string body{};
  // Bounds every step (resolve, connect, handshake, write, each read), not the whole exchange,
  // so a long body or a quiet event stream that still makes progress is not cut off.
  std::chrono::steady_clock::duration timeout = std::chrono::seconds(60);
};

struct HTTPResponse {
  int status = 0;
  HTTPHeaders headers{};
  std::string body{};

  // The first value of `name`, compared without regard to case.
  std::optional<std::string> header(std::string_view name) const;
};

// The bytes received were not an HTTP response head. Transport failures, time-outs
// (beast::error::timeout) and cancellation (asio::error::operation_aborted) are thrown as
// boost::system::system_error instead.
class HTTPMalformedResponse : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request's URL is not an absolute http or https URL with a host.
class HTTPUnsupportedURL : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Splits bytes into lines at "\n", "\r\n" or "\r", across chunk boundaries. Lines come out
// without their terminators; a line longer than the limit fails the feed with
// beast's http::error::body_limit rather than growing without bound.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t maxLineLength) : maxLineLength_(maxLineLength) {}

  void feed(std::string_view bytes);
  std::optional<std::string> nextLine();
  // At the end of the input: the unterminated last line, if any. Further input is ignored.
  std::optional<std::string> finish();

 private:
  std::size_t maxLineLength_;
  std::deque<std::string> lines_;
  std::string partial_;
  bool afterCarriageReturn_ = false;
  bool finished_ = false;
};

struct HTTPClientOptions {
  // Trusted in addition to the system's certificate store (a private CA or a test certificate).
  std::optional<std::filesystem::path> extraCertificateAuthorityFile{};
  std::size_t maxResponseBodyBytes = 64 * 1024 * 1024;
  std::size_t maxStreamLineBytes = 8 * 1024 * 1024;
  std::size_t maxIdleConnectionsPerOrigin = 4;
  // Idle connections older than this are not reused; servers drop them around this age anyway.
  std::chrono::steady_clock::duration maxIdleTime = std::chrono::seconds(50);
};

// A response whose body is read as it arrives. Owns its connection, which is closed when the
// object goes away (event streams rarely end in a reusable state). Use it on the executor of
// the coroutine that opened it.
class HTTPResponseStream {
 public:
  class Impl;
  explicit HTTPResponseStream(std::unique_ptr<Impl> impl);
  HTTPResponseStream(HTTPResponseStream&&) noexcept;
  HTTPResponseStream& operator=(HTTPResponseStream&&) noexcept;
  ~HTTPResponseStream();

  int status() const;
  const HTTPHeaders& headers() const;

  // The next body line without its terminator, or nothing once the body has ended. Returns as
  // soon as a line is complete, without waiting for more of the body. Chunked bodies are
  // de-chunked first. Throws transport errors, including a time-out when nothing arrives for
  // the request's timeout.
  Awaitable<std::optional<std::string>> nextLine();

 private:
  std::unique_ptr<Impl> impl_;
};

// Thread-safe: any number of coroutines on any executors may send through one client at once.
// Idle connections are pooled per execution context (one io_context each) and per origin, and
// closed when that context shuts down. A cancelled coroutine's pending step ends promptly with
// asio::error::operation_aborted and its connection is discarded.
class HTTPClient {
 public:
  explicit HTTPClient(HTTPClientOptions options = {});
  ~HTTPClient();
  HTTPClient(const HTTPClient&) = delete;
  HTTPClient& operator=(const HTTPClient&) = delete;

  // Sends the request and reads the whole response (bounded by maxResponseBodyBytes). A
  // pooled connection that turns out closed by the server before any byte of the response
  // arrived is retried once on a fresh connection.
  Awaitable<HTTPResponse> send(HTTPRequest request);

  // Sends the request and returns once the response head has arrived; the body is read
  // through the stream. No body limit applies, only the line limit.
  Awaitable<HTTPResponseStream> stream(HTTPRequest request);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace tavolin
