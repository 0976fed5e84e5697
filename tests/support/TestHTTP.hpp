#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>

namespace tavolin::testing {

using TestHeaders = std::map<std::string, std::string>;

struct TestHTTPResult {
  int status = 0;
  std::string body;
  TestHeaders headers;  // names lower-cased
};

// A blocking HTTP/1.1 client for tests, over one keep-alive connection to 127.0.0.1. Every
// operation is bounded by `timeout` and throws boost::system::system_error when it fails or
// runs out of time.
class TestHTTPConnection {
 public:
  explicit TestHTTPConnection(std::uint16_t port,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Sends "content-type: application/json" when `body` is not empty.
  TestHTTPResult request(std::string_view method, std::string_view target,
                         const TestHeaders& headers = {}, std::string body = {});

 private:
  boost::asio::io_context context_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::chrono::milliseconds timeout_;
};

// One request on a fresh connection.
TestHTTPResult httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
                           const TestHeaders& headers = {}, std::string body = {});

struct SSEEvent {
  std::string name;  // "message" when the block has no event line
  std::string data;  // data lines joined with "\n"
};

// A server-sent event stream read as it arrives: GET `target` with "accept: text/event-stream".
class SSEStream {
 public:
  SSEStream(std::uint16_t port, std::string_view target, const TestHeaders& headers = {});

  int status() const { return status_; }
  // The next event with data, or nothing when the stream has ended or `timeout` passed first.
  std::optional<SSEEvent> next(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True once the response body has ended.
  bool ended() const { return ended_; }

 private:
  std::optional<SSEEvent> takeEvent();

  boost::asio::io_context context_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  boost::beast::http::response_parser<boost::beast::http::buffer_body> parser_;
  std::string pending_;
  int status_ = 0;
  bool ended_ = false;
};

}  // namespace tavolin::testing
