#include "tests/support/ScriptedHTTPServer.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace tavolin::testing {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

bool equalsIgnoringCase(std::string_view lhs, std::string_view rhs) {
  return std::equal(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

std::size_t contentLengthOf(const RecordedRequest& request) {
  const auto value = request.header("content-length");
  return value ? std::stoul(*value) : 0;
}

}  // namespace

std::string RecordedRequest::requestLine() const {
  return head.substr(0, head.find("\r\n"));
}

std::vector<std::pair<std::string, std::string>> RecordedRequest::headers() const {
  std::vector<std::pair<std::string, std::string>> result;
  std::size_t start = head.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    const auto end = head.find("\r\n", start);
    if (end == std::string::npos || end == start)
      break;
    const std::string line = head.substr(start, end - start);
    const auto colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    result.emplace_back(line.substr(0, colon), value);
    start = end;
  }
  return result;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers()) {
    if (equalsIgnoringCase(key, name))
      return value;
  }
  return std::nullopt;
}

ScriptedReply ScriptedReply::bytes(std::string raw, bool closeAfter) {
  ScriptedReply reply;
  reply.pieces.push_back({std::move(raw), std::nullopt});
  reply.closeAfter = closeAfter;
  return reply;
}

struct ScriptedHTTPServer::Gate {
  explicit Gate(asio::io_context& context) : timer(context) {
    timer.expires_at(asio::steady_timer::time_point::max());
  }
  bool open = false;
  asio::steady_timer timer;
};

ScriptedHTTPServer::ScriptedHTTPServer(std::optional<TLSFiles> tls) {
  if (tls) {
    tlsContext_.emplace(asio::ssl::context::tls_server);
    tlsContext_->use_certificate_chain_file(tls->certificate.string());
    tlsContext_->use_private_key_file(tls->privateKey.string(), asio::ssl::context::pem);
  }
  acceptor_.emplace(context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  port_ = acceptor_->local_endpoint().port();
  asio::co_spawn(context_, acceptLoop(), asio::detached);
  thread_ = std::thread([this] { context_.run(); });
}

ScriptedHTTPServer::~ScriptedHTTPServer() {
  context_.stop();
  thread_.join();
  std::lock_guard lock(mutex_);
  gates_.clear();
}

std::string ScriptedHTTPServer::origin(std::string_view host) const {
  return std::string(tlsContext_ ? "https://" : "http://") + std::string(host) + ":" +
         std::to_string(port_);
}

void ScriptedHTTPServer::enqueue(ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  replies_.push_back(std::move(reply));
}

std::size_t ScriptedHTTPServer::makeGate() {
  std::lock_guard lock(mutex_);
  const std::size_t id = gates_.size();
  gates_[id] = std::make_shared<Gate>(context_);
  return id;
}

void ScriptedHTTPServer::openGate(std::size_t gate) {
  std::shared_ptr<Gate> target;
  {
    std::lock_guard lock(mutex_);
    target = gates_.at(gate);
  }
  asio::post(context_, [target] {
    target->open = true;
    target->timer.cancel();
  });
}

std::vector<RecordedRequest> ScriptedHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t ScriptedHTTPServer::acceptedConnections() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

void ScriptedHTTPServer::waitForClosedConnections(std::size_t count) {
  std::unique_lock lock(mutex_);
  closed_.wait(lock, [&] { return closedCount_ >= count; });
}

std::string ScriptedHTTPServer::response(int status, std::string_view body,
                                         const std::vector<std::string>& headerLines) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (const auto& line : headerLines)
    text += line + "\r\n";
  text += "\r\n";
  text += body;
  return text;
}

std::string ScriptedHTTPServer::chunk(std::string_view data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return std::string(size) + std::string(data) + "\r\n";
}

asio::awaitable<void> ScriptedHTTPServer::acceptLoop() {
  for (;;) {
    boost::system::error_code error;
    tcp::socket socket =
        co_await acceptor_->async_accept(asio::redirect_error(asio::use_awaitable, error));
    if (error)
      co_return;
    std::size_t index;
    {
      std::lock_guard lock(mutex_);
      index = accepted_++;
    }
    if (tlsContext_) {
      asio::co_spawn(
          context_,
          [this, index, socket = std::move(socket)]() mutable -> asio::awaitable<void> {
            asio::ssl::stream<tcp::socket> stream(std::move(socket), *tlsContext_);
            co_await serve(stream, index);
          },
          asio::detached);
    } else {
      asio::co_spawn(
          context_,
          [this, index, socket = std::move(socket)]() mutable -> asio::awaitable<void> {
            co_await serve(socket, index);
          },
          asio::detached);
    }
  }
}

asio::awaitable<void> ScriptedHTTPServer::waitForGate(std::size_t gate) {
  std::shared_ptr<Gate> target;
  {
    std::lock_guard lock(mutex_);
    target = gates_.at(gate);
  }
  while (!target->open) {
    boost::system::error_code ignored;
    co_await target->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

template <class Stream>
asio::awaitable<void> ScriptedHTTPServer::serve(Stream& stream, std::size_t index) {
  boost::system::error_code error;
  std::string serverName;
  if constexpr (!std::is_same_v<Stream, tcp::socket>) {
    co_await stream.async_handshake(asio::ssl::stream_base::server,
                                    asio::redirect_error(asio::use_awaitable, error));
    if (const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name))
      serverName = name;
  }

  std::string buffer;
  while (!error) {
    const std::size_t headEnd =
        co_await asio::async_read_until(stream, asio::dynamic_buffer(buffer), "\r\n\r\n",
                                        asio::redirect_error(asio::use_awaitable, error));
    if (error)
      break;
    RecordedRequest request;
    request.connection = index;
    request.serverName = serverName;
    request.head = buffer.substr(0, headEnd);
    buffer.erase(0, headEnd);
    const std::size_t length = contentLengthOf(request);
    if (buffer.size() < length) {
      co_await asio::async_read(stream, asio::dynamic_buffer(buffer),
                                asio::transfer_exactly(length - buffer.size()),
                                asio::redirect_error(asio::use_awaitable, error));
      if (error)
        break;
    }
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);

    ScriptedReply reply = ScriptedReply::bytes(response(599, "unscripted"), true);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
      if (!replies_.empty()) {
        reply = std::move(replies_.front());
        replies_.pop_front();
      }
    }
    for (const auto& piece : reply.pieces) {
      if (piece.afterGate)
        co_await waitForGate(*piece.afterGate);
      co_await asio::async_write(stream, asio::buffer(piece.bytes),
                                 asio::redirect_error(asio::use_awaitable, error));
      if (error)
        break;
    }
    if (reply.closeAfter)
      break;
  }

  // Closing the socket without a TLS close_notify is deliberate: it is how servers drop idle
  // connections in practice.
  boost::system::error_code ignored;
  stream.lowest_layer().close(ignored);
  {
    std::lock_guard lock(mutex_);
    ++closedCount_;
  }
  closed_.notify_all();
}

}  // namespace tavolin::testing
