#include "tests/support/TestHTTP.hpp"

#include <algorithm>
#include <array>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/empty_body.hpp>
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
  if (error && error != http::error::need_buffer)
    throw boost::system::system_error(error);
}

void connect(asio::io_context& context, beast::tcp_stream& stream, std::uint16_t port,
             std::chrono::milliseconds timeout) {
  stream.expires_after(timeout);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  boost::system::error_code error;
  bool done = false;
  stream.async_connect(endpoint, [&](boost::system::error_code result) {
    error = result;
    done = true;
  });
  context.restart();
  context.run();
  if (!done || error)
    throw boost::system::system_error(error ? error : asio::error::timed_out);
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
  connect(context_, stream_, port, timeout_);
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

SSEStream::SSEStream(std::uint16_t port, std::string_view target, const TestHeaders& headers)
    : stream_(context_) {
  constexpr auto timeout = std::chrono::seconds(10);
  connect(context_, stream_, port, timeout);
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::accept, "text/event-stream");
  for (const auto& [name, value] : headers)
    request.set(name, value);
  stream_.expires_after(timeout);
  runToCompletion(context_, [&](auto handler) { http::async_write(stream_, request, handler); });
  parser_.body_limit(boost::none);
  stream_.expires_after(timeout);
  runToCompletion(
      context_, [&](auto handler) { http::async_read_header(stream_, buffer_, parser_, handler); });
  status_ = static_cast<int>(parser_.get().result_int());
  ended_ = parser_.is_done();
}

std::optional<SSEEvent> SSEStream::takeEvent() {
  for (;;) {
    const auto end = pending_.find("\n\n");
    if (end == std::string::npos)
      return std::nullopt;
    const std::string block = pending_.substr(0, end);
    pending_.erase(0, end + 2);
    SSEEvent event{.name = "message", .data = {}};
    bool hasData = false;
    std::size_t start = 0;
    while (start <= block.size()) {
      const auto newline = std::min(block.find('\n', start), block.size());
      const std::string_view line = std::string_view(block).substr(start, newline - start);
      start = newline + 1;
      const auto colon = line.find(':');
      if (line.empty() || colon == 0)
        continue;
      const std::string_view field = line.substr(0, colon);
      std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
      if (value.starts_with(' '))
        value.remove_prefix(1);
      if (field == "event") {
        event.name = value;
      } else if (field == "data") {
        if (hasData)
          event.data += '\n';
        event.data += value;
        hasData = true;
      }
    }
    if (hasData)
      return event;
  }
}

std::optional<SSEEvent> SSEStream::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto event = takeEvent())
      return event;
    if (ended_ || std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::array<char, 4096> chunk{};
    parser_.get().body().data = chunk.data();
    parser_.get().body().size = chunk.size();
    parser_.get().body().more = true;
    stream_.expires_at(deadline);
    try {
      runToCompletion(context_, [&](auto handler) {
        http::async_read_some(stream_, buffer_, parser_, handler);
      });
    } catch (const boost::system::system_error&) {
      ended_ = true;
    }
    pending_.append(chunk.data(), chunk.size() - parser_.get().body().size);
    if (parser_.is_done())
      ended_ = true;
  }
}

}  // namespace tavolin::testing
