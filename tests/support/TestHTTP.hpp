#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

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

}  // namespace tavolin::testing
