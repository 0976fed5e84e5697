#include "tests/support/TestHTTP.hpp"

#include <algorithm>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace tavolin::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// Starts `operation` (which records its error), runs the context until it completes, and throws
// its error. The stream's own timeout bounds the wait.
template <class Start>
void runToCompletion(asio::io_context& context, Start&& start) {
  boost::system::error_code error;
  bool done = false;
  start([&](boost::system::error_code result, std::size_t) {
    error = result;
    done = true;
  });
  context.restart();
  context.run();
  if (!done)
    throw boost::system::system_error(asio::error::timed_out);
  if (error)
    throw boost::system::system_error(error);
}

std::string lowerCased(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

TestHTTPConnection::TestHTTPConnection(std::uint16_t port, std::chrono::milliseconds timeout)
    : stream_(context_), timeout_(timeout) {
  stream_.expires_after(timeout_);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  runToCompletion(context_, [&](auto handler) {
    stream_.async_connect(endpoint,
                          [handler](boost::system::error_code error) { handler(error, 0); });
  });
}

TestHTTPResult TestHTTPConnection::request(std::string_view method, std::string_view target,
                                           const TestHeaders& headers, std::string body) {
  http::request<http::string_body> request;
  request.version(11);
  request.method_string(method);
  request.target(target);
  request.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : headers)
    request.set(name, value);
  if (!body.empty() && request.find(http::field::content_type) == request.end())
    request.set(http::field::content_type, "application/json");
  request.body() = std::move(body);
  request.prepare_payload();

  stream_.expires_after(timeout_);
  runToCompletion(context_, [&](auto handler) { http::async_write(stream_, request, handler); });
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  stream_.expires_after(timeout_);
  runToCompletion(context_,
                  [&](auto handler) { http::async_read(stream_, buffer_, parser, handler); });

  const auto& response = parser.get();
  TestHTTPResult result{
      .status = static_cast<int>(response.result_int()), .body = response.body(), .headers = {}};
  for (const auto& field : response)
    result.headers[lowerCased(field.name_string())] = std::string(field.value());
  return result;
}

TestHTTPResult httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
                           const TestHeaders& headers, std::string body) {
  return TestHTTPConnection(port).request(method, target, headers, std::move(body));
}

}  // namespace tavolin::testing
