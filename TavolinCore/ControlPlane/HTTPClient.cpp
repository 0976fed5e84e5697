#include "TavolinCore/ControlPlane/HTTPClient.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <tuple>

#include <boost/asio/execution_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

namespace tavolin {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// Response heads of real servers carry cookies and policies; beast's 8 KiB default is tight.
constexpr std::uint32_t maxHeaderBytes = 64 * 1024;

struct Target {
  bool tls = false;
  std::string host;  // as connected to and verified: no brackets around IPv6
  bool hostIsAddress = false;
  std::string port;
  std::string hostHeader;
  std::string target;
};

Target parseTarget(const std::string& text) {
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed)
    throw HTTPUnsupportedURL("Not an absolute URL: " + text);
  const boost::urls::url_view& url = *parsed;
  Target target;
  if (url.scheme_id() == boost::urls::scheme::https) {
    target.tls = true;
  } else if (url.scheme_id() != boost::urls::scheme::http) {
    throw HTTPUnsupportedURL("Not an http or https URL: " + text);
  }
  if (!url.has_authority() || url.encoded_host().empty())
    throw HTTPUnsupportedURL("The URL has no host: " + text);
  target.host = url.host_address();
  target.hostIsAddress = url.host_type() == boost::urls::host_type::ipv4 ||
                         url.host_type() == boost::urls::host_type::ipv6;
  target.port =
      url.has_port() && !url.port().empty() ? std::string(url.port()) : (target.tls ? "443" : "80");
  target.hostHeader = url.encoded_host_and_port();
  target.target = url.encoded_target();
  if (target.target.empty() || target.target.front() != '/')
    target.target.insert(0, "/");
  return target;
}

void rejectLineBreaks(std::string_view text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw std::invalid_argument("An HTTP header contains a line break.");
}

http::request<http::string_body> makeMessage(const HTTPRequest& request, const Target& target) {
  http::request<http::string_body> message;
  message.version(11);
  rejectLineBreaks(request.method);
  const http::verb verb = http::string_to_verb(request.method);
  if (verb == http::verb::unknown) {
    message.method_string(request.method);
  } else {
    message.method(verb);
  }
  message.target(target.target);
  message.set(http::field::host, target.hostHeader);
  for (const auto& [name, value] : request.headers) {
    rejectLineBreaks(name);
    rejectLineBreaks(value);
    message.insert(name, value);
  }
  // A POST without a payload still states its (zero) length, as servers expect one.
  if (!request.body.empty() || verb == http::verb::post || verb == http::verb::put ||
      verb == http::verb::patch) {
    message.content_length(request.body.size());
  }
  message.body() = request.body;
  return message;
}

struct PoolKey {
  std::uint64_t clientId = 0;
  bool tls = false;
  std::string host;
  std::string port;

  friend bool operator<(const PoolKey& lhs, const PoolKey& rhs) {
    return std::tie(lhs.clientId, lhs.tls, lhs.host, lhs.port) <
           std::tie(rhs.clientId, rhs.tls, rhs.host, rhs.port);
  }
};

}  // namespace

struct HTTPClient::Shared {
  explicit Shared(HTTPClientOptions options) : options(std::move(options)) {
    static std::atomic<std::uint64_t> nextId{1};
    id = nextId++;
    SSL_CTX_set_min_proto_version(tlsContext.native_handle(), TLS1_2_VERSION);
    tlsContext.set_default_verify_paths();
    if (this->options.extraCertificateAuthorityFile)
      tlsContext.load_verify_file(this->options.extraCertificateAuthorityFile->string());
    tlsContext.set_verify_mode(ssl::verify_peer);
  }

  HTTPClientOptions options;
  ssl::context tlsContext{ssl::context::tls_client};
  std::uint64_t id = 0;
};

namespace {

using TLSStream = beast::ssl_stream<beast::tcp_stream>;

struct Connection {
  std::shared_ptr<HTTPClient::Shared> client;  // keeps the TLS context alive
  PoolKey key;
  std::unique_ptr<beast::tcp_stream> plain;
  std::unique_ptr<TLSStream> tls;
  beast::flat_buffer buffer;
  std::chrono::steady_clock::time_point idleSince;

  beast::tcp_stream& lowest() { return tls ? beast::get_lowest_layer(*tls) : *plain; }
};

// Calls `operation` with the connection's outermost stream; both branches yield the same
// awaitable type, so callers co_await the result directly.
template <class Operation>
auto withStream(Connection& connection, Operation&& operation) {
  return connection.tls ? operation(*connection.tls) : operation(*connection.plain);
}

// Idle connections of one execution context. Living inside the context means a socket is
// never used from, or outlives, a context other than its own.
class ConnectionPool : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;

  explicit ConnectionPool(asio::execution_context& context) : service(context) {}

  std::unique_ptr<Connection> take(const PoolKey& key,
                                   std::chrono::steady_clock::duration maxIdleTime) {
    std::lock_guard lock(mutex_);
    auto found = idle_.find(key);
    if (found == idle_.end())
      return nullptr;
    auto& connections = found->second;
    const auto now = std::chrono::steady_clock::now();
    while (!connections.empty()) {
      auto connection = std::move(connections.back());
      connections.pop_back();
      if (now - connection->idleSince <= maxIdleTime)
        return connection;
    }
    return nullptr;
  }

  void give(std::unique_ptr<Connection> connection, std::size_t maxPerKey) {
    connection->idleSince = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    auto& connections = idle_[connection->key];
    connections.push_back(std::move(connection));
    while (connections.size() > maxPerKey)
      connections.pop_front();
  }

 private:
  void shutdown() override {
    std::lock_guard lock(mutex_);
    idle_.clear();
  }

  std::mutex mutex_;
  std::map<PoolKey, std::deque<std::unique_ptr<Connection>>> idle_;
};

ConnectionPool& poolFor(const Executor& executor) {
  return asio::use_service<ConnectionPool>(asio::query(executor, asio::execution::context));
}

Awaitable<std::unique_ptr<Connection>> connect(std::shared_ptr<HTTPClient::Shared> client,
                                               PoolKey key, const Target& target,
                                               std::chrono::steady_clock::duration timeout) {
  const auto executor = co_await asio::this_coro::executor;

  // getaddrinfo has no deadline of its own; a timer abandons it.
  auto resolver = std::make_shared<tcp::resolver>(executor);
  auto timedOut = std::make_shared<bool>(false);
  asio::steady_timer deadline(executor);
  deadline.expires_after(timeout);
  deadline.async_wait([weak = std::weak_ptr(resolver), timedOut](error_code error) {
    if (error)
      return;
    *timedOut = true;
    if (auto resolverAlive = weak.lock())
      resolverAlive->cancel();
  });
  error_code error;
  const auto endpoints = co_await resolver->async_resolve(
      target.host, target.port, asio::redirect_error(asio::use_awaitable, error));
  deadline.cancel();
  if (error)
    throw system_error(*timedOut ? error_code(beast::error::timeout) : error);

  auto connection = std::make_unique<Connection>();
  connection->client = client;
  connection->key = std::move(key);
  if (target.tls) {
    connection->tls = std::make_unique<TLSStream>(executor, client->tlsContext);
  } else {
    connection->plain = std::make_unique<beast::tcp_stream>(executor);
  }
  auto& lowest = connection->lowest();
  lowest.expires_after(timeout);
  co_await lowest.async_connect(endpoints, asio::use_awaitable);
  lowest.socket().set_option(tcp::no_delay(true));

  if (target.tls) {
    // SNI carries names only; an address literal is verified against the certificate's IP
    // entries instead.
    if (!target.hostIsAddress &&
        SSL_set_tlsext_host_name(connection->tls->native_handle(), target.host.c_str()) != 1) {
      throw system_error(
          error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()));
    }
    connection->tls->set_verify_mode(ssl::verify_peer);
    connection->tls->set_verify_callback(ssl::host_name_verification(target.host));
    lowest.expires_after(timeout);
    co_await connection->tls->async_handshake(ssl::stream_base::client, asio::use_awaitable);
  }
  co_return connection;
}

// Errors that on a reused connection mean the server had already closed it while idle.
bool isStaleConnectionError(const error_code& error) {
  return error == http::error::end_of_stream || error == asio::error::eof ||
         error == asio::error::connection_reset || error == asio::error::broken_pipe ||
         error == asio::error::connection_aborted || error == ssl::error::stream_truncated;
}

// Syntax errors in the response head mean the peer does not speak HTTP; limits, early ends and
// the like stay transport errors.
[[noreturn]] void throwHeadFailure(const error_code& error) {
  static const http::error malformed[] = {
      http::error::bad_line_ending,
      http::error::bad_version,
      http::error::bad_status,
      http::error::bad_reason,
      http::error::bad_field,
      http::error::bad_value,
      http::error::bad_content_length,
      http::error::bad_transfer_encoding,
      http::error::multiple_content_length,
      http::error::bad_obs_fold,
  };
  for (const auto code : malformed) {
    if (error == code)
      throw HTTPMalformedResponse("The server's reply is not an HTTP response: " + error.message());
  }
  throw system_error(error);
}

template <class Body>
struct Exchange {
  std::unique_ptr<Connection> connection;
  std::unique_ptr<http::response_parser<Body>> parser;
};

// Sends the request and reads the response head, on a pooled connection when one is idle.
template <class Body, class Configure>
Awaitable<Exchange<Body>> openExchange(std::shared_ptr<HTTPClient::Shared> client,
                                       const HTTPRequest& request, Configure configure) {
  const Target target = parseTarget(request.url);
  auto message = makeMessage(request, target);
  PoolKey key{client->id, target.tls, target.host, target.port};
  const auto executor = co_await asio::this_coro::executor;
  auto connection = poolFor(executor).take(key, client->options.maxIdleTime);

  for (;;) {
    const bool reused = connection != nullptr;
    if (!reused)
      connection = co_await connect(client, key, target, request.timeout);
    auto parser = std::make_unique<http::response_parser<Body>>();
    parser->header_limit(maxHeaderBytes);
    if (message.method() == http::verb::head)
      parser->skip(true);
    configure(*parser);

    error_code error;
    connection->lowest().expires_after(request.timeout);
    co_await withStream(*connection, [&](auto& stream) {
      return http::async_write(stream, message, asio::redirect_error(asio::use_awaitable, error));
    });
    if (!error) {
      connection->lowest().expires_after(request.timeout);
      co_await withStream(*connection, [&](auto& stream) {
        return http::async_read_header(stream, connection->buffer, *parser,
                                       asio::redirect_error(asio::use_awaitable, error));
      });
    }
    if (!error)
      co_return Exchange<Body>{std::move(connection), std::move(parser)};

    // Only a reused connection that yielded nothing at all is retried: any byte of a reply
    // means the server saw the request, and a fresh connection failing is a real failure.
    if (reused && isStaleConnectionError(error) && !parser->got_some() &&
        connection->buffer.size() == 0) {
      connection.reset();
      continue;
    }
    throwHeadFailure(error);
  }
}

template <class Body>
HTTPHeaders headersOf(const http::response<Body>& message) {
  HTTPHeaders headers;
  for (const auto& field : message)
    headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  return headers;
}

}  // namespace

std::optional<std::string> HTTPResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name))
      return value;
  }
  return std::nullopt;
}

// Line splitting.

void LineSplitter::feed(std::string_view bytes) {
  if (finished_)
    return;
  while (!bytes.empty()) {
    if (afterCarriageReturn_) {
      afterCarriageReturn_ = false;
      if (bytes.front() == '\n') {
        bytes.remove_prefix(1);
        continue;
      }
    }
    const auto end = bytes.find_first_of("\r\n");
    const auto piece = bytes.substr(0, end);
    if (partial_.size() + piece.size() > maxLineLength_)
      throw system_error(http::error::body_limit);
    partial_ += piece;
    if (end == std::string_view::npos)
      return;
    afterCarriageReturn_ = bytes[end] == '\r';
    lines_.push_back(std::move(partial_));
    partial_.clear();
    bytes.remove_prefix(end + 1);
  }
}

std::optional<std::string> LineSplitter::nextLine() {
  if (lines_.empty())
    return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::optional<std::string> LineSplitter::finish() {
  if (finished_ || partial_.empty()) {
    finished_ = true;
    return std::nullopt;
  }
  finished_ = true;
  return std::exchange(partial_, {});
}

// Streaming responses.

class HTTPResponseStream::Impl {
 public:
  Impl(Exchange<http::buffer_body> exchange, std::size_t maxLineBytes,
       std::chrono::steady_clock::duration timeout)
      : connection(std::move(exchange.connection)),
        parser(std::move(exchange.parser)),
        headers(headersOf(parser->get())),
        lines(maxLineBytes),
        timeout(timeout) {}

  std::unique_ptr<Connection> connection;
  std::unique_ptr<http::response_parser<http::buffer_body>> parser;
  HTTPHeaders headers;
  LineSplitter lines;
  std::chrono::steady_clock::duration timeout;
  std::array<char, 16 * 1024> chunk{};
  bool bodyEnded = false;
};

HTTPResponseStream::HTTPResponseStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HTTPResponseStream::HTTPResponseStream(HTTPResponseStream&&) noexcept = default;
HTTPResponseStream& HTTPResponseStream::operator=(HTTPResponseStream&&) noexcept = default;
HTTPResponseStream::~HTTPResponseStream() = default;

int HTTPResponseStream::status() const {
  return static_cast<int>(impl_->parser->get().result_int());
}

const HTTPHeaders& HTTPResponseStream::headers() const {
  return impl_->headers;
}

Awaitable<std::optional<std::string>> HTTPResponseStream::nextLine() {
  Impl& impl = *impl_;
  for (;;) {
    if (auto line = impl.lines.nextLine())
      co_return line;
    if (impl.bodyEnded)
      co_return std::nullopt;
    if (impl.parser->is_done()) {
      impl.bodyEnded = true;
      co_return impl.lines.finish();
    }
    auto& body = impl.parser->get().body();
    body.data = impl.chunk.data();
    body.size = impl.chunk.size();
    error_code error;
    impl.connection->lowest().expires_after(impl.timeout);
    // read_some, not read: it returns with whatever arrived instead of waiting to fill the
    // chunk, which is what lets an event out before the next one is sent.
    co_await withStream(*impl.connection, [&](auto& stream) {
      return http::async_read_some(stream, impl.connection->buffer, *impl.parser,
                                   asio::redirect_error(asio::use_awaitable, error));
    });
    if (error == http::error::need_buffer)
      error = {};
    if (error)
      throw system_error(error);
    impl.lines.feed(std::string_view(impl.chunk.data(), impl.chunk.size() - body.size));
  }
}

// The client.

HTTPClient::HTTPClient(HTTPClientOptions options)
    : shared_(std::make_shared<Shared>(std::move(options))) {}

HTTPClient::~HTTPClient() = default;

Awaitable<HTTPResponse> HTTPClient::send(HTTPRequest request) {
  auto client = shared_;
  auto exchange = co_await openExchange<http::string_body>(client, request, [&](auto& parser) {
    parser.body_limit(client->options.maxResponseBodyBytes);
  });
  auto& connection = *exchange.connection;
  auto& parser = *exchange.parser;
  while (!parser.is_done()) {
    error_code error;
    connection.lowest().expires_after(request.timeout);
    co_await withStream(connection, [&](auto& stream) {
      return http::async_read_some(stream, connection.buffer, parser,
                                   asio::redirect_error(asio::use_awaitable, error));
    });
    if (error)
      throw system_error(error);
  }

  auto& message = parser.get();
  HTTPResponse response;
  response.status = static_cast<int>(message.result_int());
  response.headers = headersOf(message);
  response.body = std::move(message.body());
  // Leftover bytes after a complete response mean the server is not speaking plain
  // request/response any more; such a connection is not worth keeping.
  if (message.keep_alive() && !parser.need_eof() && connection.buffer.size() == 0) {
    const auto executor = co_await asio::this_coro::executor;
    poolFor(executor).give(std::move(exchange.connection),
                           client->options.maxIdleConnectionsPerOrigin);
  }
  co_return response;
}

Awaitable<HTTPResponseStream> HTTPClient::stream(HTTPRequest request) {
  auto client = shared_;
  auto exchange = co_await openExchange<http::buffer_body>(
      client, request, [](auto& parser) { parser.body_limit(boost::none); });
  co_return HTTPResponseStream(std::make_unique<HTTPResponseStream::Impl>(
      std::move(exchange), client->options.maxStreamLineBytes, request.timeout));
}

}  // namespace tavolin
