#include <cerrno>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TavolinMacAgent/LocalNetwork/LocalHTTPListener.hpp"
#include "tests/support/Eventually.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using State = LocalHTTPListener::State;

// A blocking loopback client that writes exactly what it is told. Every receive is bounded so
// a broken server fails the test instead of hanging it.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const timeval bound{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }

  // False when the server stopped taking bytes.
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (written <= 0)
        return false;
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }
  void finishSending() { ::shutdown(fd_, SHUT_WR); }

  bool hasBytesWithin(std::chrono::milliseconds wait) {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0;
  }

  // Everything until the server closes (or resets) the connection, or the bound passes.
  std::string readToEnd() {
    std::string received;
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
      if (count <= 0) {
        timedOut_ = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return received;
      }
      received.append(buffer, static_cast<std::size_t>(count));
    }
  }
  // True when the last readToEnd() gave up waiting instead of seeing the server close.
  bool timedOut() const { return timedOut_; }

 private:
  int fd_;
  bool connected_ = false;
  bool timedOut_ = false;
};

std::string statusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

std::string bodyOf(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// A listener whose main executor runs on its own thread, with a handler that echoes what it
// was given. "/fail" throws; "/hang" never answers; "/slow" suspends before answering.
class Harness {
 public:
  explicit Harness(LocalHTTPListenerOptions options = {}, std::uint16_t preferredPort = 0) {
    listener_ = std::make_unique<LocalHTTPListener>(
        main_.get_executor(),
        [this](LocalHTTPRequest request) { return answer(std::move(request)); },
        std::move(options));
    binding = listener_->bind(preferredPort);
    listener_->start([this](State state, const std::string& description) {
      std::lock_guard lock(mutex_);
      states_.push_back(state);
      descriptions_.push_back(description);
    });
    mainThread_ = std::thread([this] { main_.run(); });
  }
  ~Harness() {
    work_.reset();
    main_.stop();
    mainThread_.join();
    listener_.reset();
  }

  std::uint16_t port() const { return binding.port; }

  void onMain(std::function<void()> work) {
    asio::post(main_, asio::use_future(std::move(work))).get();
  }
  void stop() {
    onMain([this] { listener_->stop(); });
    onMain([] {});  // lets the state report posted by stop() run first
  }

  std::vector<LocalHTTPRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<State> states() {
    onMain([] {});
    std::lock_guard lock(mutex_);
    return states_;
  }
  bool handlerRanOnlyOnMain() {
    std::lock_guard lock(mutex_);
    return handlerRanOnlyOnMain_;
  }

  LocalHTTPListener::Binding binding;

 private:
  Awaitable<LocalHTTPResponse> answer(LocalHTTPRequest request) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      handlerRanOnlyOnMain_ =
          handlerRanOnlyOnMain_ && main_.get_executor().running_in_this_thread();
    }
    if (request.path == "/fail")
      throw std::runtime_error("handler_broke");
    if (request.path == "/hang" || request.path.starts_with("/slow")) {
      asio::steady_timer timer(co_await asio::this_coro::executor);
      timer.expires_after(request.path == "/hang" ? std::chrono::hours(1) : 1ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
    LocalHTTPResponse response;
    response.body = request.method + " " + request.path + " " + request.body;
    response.extraHeaders["X-Peer"] = request.remotePeer;
    co_return response;
  }

  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{main_.get_executor()};
  std::unique_ptr<LocalHTTPListener> listener_;
  std::thread mainThread_;
  std::mutex mutex_;
  std::vector<LocalHTTPRequest> requests_;
  std::vector<State> states_;
  std::vector<std::string> descriptions_;
  bool handlerRanOnlyOnMain_ = true;
};

TEST(LocalHTTPListener, RequestSplitOverManyWrites_AnsweredOnceAfterTheLastBodyByte) {
  Harness harness;
  RawClient client(harness.port());
  ASSERT_TRUE(client.connected());
  const std::string request =
      "POST /v1/echo HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 12\r\n\r\n"
      "{\"a\":\"bcde\"}";
  for (std::size_t at = 0; at + 1 < request.size(); ++at)
    ASSERT_TRUE(client.send(request.substr(at, 1)));
  EXPECT_FALSE(client.hasBytesWithin(200ms));
  ASSERT_TRUE(client.send(request.substr(request.size() - 1)));

  const std::string response = client.readToEnd();
  EXPECT_EQ(statusLine(response), "HTTP/1.1 200 OK");
  EXPECT_NE(response.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(response), "POST /v1/echo {\"a\":\"bcde\"}");
  const auto requests = harness.requests();
  ASSERT_EQ(requests.size(), 1u);
  // The loopback peer arrives IPv4-mapped on the dual-stack socket and reads as plain IPv4.
  EXPECT_TRUE(requests[0].remotePeer.starts_with("127.0.0.1:")) << requests[0].remotePeer;
  EXPECT_NE(response.find("\r\nX-Peer: " + requests[0].remotePeer + "\r\n"), std::string::npos);
  EXPECT_TRUE(harness.handlerRanOnlyOnMain());
  EXPECT_EQ(harness.states(), std::vector<State>{State::ready});
}

TEST(LocalHTTPListener, PeerEndsBeforeTheRequestIsComplete_Answered400WithEmptyBody) {
  Harness harness;
  for (const std::string partial : {"POST /v1/x HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345",
                                    "GET / HTTP/1.1\r\nHost: a", ""}) {
    RawClient client(harness.port());
    ASSERT_TRUE(client.send(partial));
    client.finishSending();
    const std::string response = client.readToEnd();
    EXPECT_EQ(statusLine(response), "HTTP/1.1 400 Bad Request") << partial;
    EXPECT_NE(response.find("\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"),
              std::string::npos);
    EXPECT_EQ(bodyOf(response), "");
  }
  EXPECT_TRUE(harness.requests().empty());
}

TEST(LocalHTTPListener, HeadersMethodsAndFailures_ReachTheHandlerAsParsed) {
  Harness harness;
  {
    RawClient client(harness.port());
    client.send(
        "options /any/where?x HTTP/1.1\r\nAuthorization: first\r\nAUTHORIZATION:  second \r\n"
        "Origin: http://example.test\r\n\r\n");
    EXPECT_EQ(statusLine(client.readToEnd()), "HTTP/1.1 200 OK");
  }
  {
    RawClient client(harness.port());
    client.send("GET /fail HTTP/1.1\r\n\r\n");
    const std::string response = client.readToEnd();
    EXPECT_EQ(statusLine(response), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(bodyOf(response), R"({"error":"handler_broke"})");
  }
  const auto requests = harness.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "OPTIONS");
  EXPECT_EQ(requests[0].path, "/any/where");
  EXPECT_EQ(requests[0].query.at("x"), "");
  EXPECT_EQ(requests[0].headers.at("authorization"), "second");
  EXPECT_EQ(requests[0].headers.at("origin"), "http://example.test");
}

TEST(LocalHTTPListener, IPv6Peer_IsServedOnTheSameSocketAndShownInBrackets) {
  Harness harness;
  asio::io_context context;
  asio::ip::tcp::socket socket(context);
  boost::system::error_code error;
  socket.connect({asio::ip::address_v6::loopback(), harness.port()}, error);
  if (error)
    GTEST_SKIP() << "no IPv6 loopback here: " << error.message();
  const std::string peer = "[::1]:" + std::to_string(socket.local_endpoint().port());
  asio::write(socket, asio::buffer(std::string_view("GET /v6 HTTP/1.1\r\n\r\n")));
  std::string response;
  asio::read(socket, asio::dynamic_buffer(response), error);
  EXPECT_EQ(error, asio::error::eof);
  EXPECT_EQ(statusLine(response), "HTTP/1.1 200 OK");
  EXPECT_NE(response.find("\r\nX-Peer: " + peer + "\r\n"), std::string::npos) << response;
}

TEST(LocalHTTPListener, NegativeOrOversizedRequests_Answered400WithoutReachingTheHandler) {
  Harness harness;
  for (const std::string& head : std::vector<std::string>{
           "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kLocalHTTPMaxRequestBytes) +
               "\r\n\r\n"}) {
    RawClient client(harness.port());
    client.send(head);
    const std::string response = client.readToEnd();
    EXPECT_EQ(statusLine(response), "HTTP/1.1 400 Bad Request") << head;
    EXPECT_EQ(bodyOf(response), "");
  }

  // A head that never ends: the answer comes once the bound is passed, while the peer is still
  // sending, and the rest of what it sends is taken and dropped.
  RawClient client(harness.port());
  std::thread writer([&client] {
    client.send("GET / HTTP/1.1\r\nX-Fill: ");
    const std::string fill(1024 * 1024, 'a');
    for (int megabyte = 0; megabyte < 17; ++megabyte)
      client.send(fill);
    client.finishSending();
  });
  const std::string response = client.readToEnd();
  writer.join();
  EXPECT_EQ(statusLine(response), "HTTP/1.1 400 Bad Request");
  EXPECT_TRUE(harness.requests().empty());
}

TEST(LocalHTTPListener, SilentPeer_IsClosedAfterTheIdleTimeout) {
  LocalHTTPListenerOptions options;
  options.idleTimeout = 100ms;
  Harness harness(options);
  RawClient silent(harness.port());
  RawClient stalled(harness.port());
  stalled.send("POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\n1");
  EXPECT_EQ(silent.readToEnd(), "");
  EXPECT_FALSE(silent.timedOut());
  EXPECT_EQ(stalled.readToEnd(), "");
  EXPECT_FALSE(stalled.timedOut());
  EXPECT_TRUE(harness.requests().empty());
}

TEST(LocalHTTPListener, PreferredPortTaken_FallsBackToAFreePortAndSaysWhy) {
  asio::io_context context;
  asio::ip::tcp::acceptor blocker(context, asio::ip::tcp::endpoint(asio::ip::address_v4::any(), 0));
  const std::uint16_t taken = blocker.local_endpoint().port();

  Harness harness({}, taken);
  EXPECT_NE(harness.port(), taken);
  EXPECT_NE(harness.port(), 0);
  ASSERT_TRUE(harness.binding.preferredPortFailure);
  EXPECT_EQ(*harness.binding.preferredPortFailure,
            "port " + std::to_string(taken) + ": Address already in use");
  RawClient client(harness.port());
  client.send("GET /fallback HTTP/1.1\r\n\r\n");
  EXPECT_EQ(statusLine(client.readToEnd()), "HTTP/1.1 200 OK");

  Harness free({}, 0);
  EXPECT_FALSE(free.binding.preferredPortFailure);
}

TEST(LocalHTTPListener, PortVariable_UsedOnlyWhenItIsAValidPort) {
  const auto portFor = [](std::optional<std::string> value) {
    Environment environment;
    if (value)
      environment["TAVOLIN_LOCAL_PORT"] = *value;
    return LocalHTTPListener::preferredPort(environment);
  };
  EXPECT_EQ(portFor(std::nullopt), 57852);
  EXPECT_EQ(portFor("8080"), 8080);
  EXPECT_EQ(portFor("1"), 1);
  EXPECT_EQ(portFor("65535"), 65535);
  for (const char* invalid : {"0", "65536", "-80", "80a", " 80", ""})
    EXPECT_EQ(portFor(invalid), 57852) << '"' << invalid << '"';
}

TEST(LocalHTTPListener, PeerText_ShowsMappedIPv4PlainAndIPv6InBrackets) {
  using asio::ip::make_address;
  using asio::ip::tcp;
  EXPECT_EQ(LocalHTTPListener::peerText(tcp::endpoint(make_address("192.168.1.20"), 51234)),
            "192.168.1.20:51234");
  EXPECT_EQ(LocalHTTPListener::peerText(tcp::endpoint(make_address("::ffff:192.168.1.20"), 51234)),
            "192.168.1.20:51234");
  EXPECT_EQ(LocalHTTPListener::peerText(tcp::endpoint(make_address("fd7a:115c::1"), 443)),
            "[fd7a:115c::1]:443");
}

TEST(LocalHTTPListener, ManyConcurrentConnections_EachGetsItsOwnAnswer) {
  Harness harness;
  constexpr int kClients = 40;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int index = 0; index < kClients; ++index) {
    clients.push_back(std::make_unique<RawClient>(harness.port()));
    ASSERT_TRUE(clients.back()->connected());
    clients.back()->send("POST /slow/" + std::to_string(index) +
                         " HTTP/1.1\r\nContent-Length: 3\r\n\r\n");
  }
  // Bodies complete in reverse order of connecting; handlers suspend and interleave.
  for (int index = kClients - 1; index >= 0; --index)
    clients[index]->send(std::to_string(100 + index));
  for (int index = 0; index < kClients; ++index) {
    const std::string response = clients[index]->readToEnd();
    EXPECT_EQ(bodyOf(response),
              "POST /slow/" + std::to_string(index) + " " + std::to_string(100 + index));
  }
  EXPECT_EQ(harness.requests().size(), static_cast<std::size_t>(kClients));
}

TEST(LocalHTTPListener, Stop_ClosesEveryConnectionAndReportsCancelledOnce) {
  Harness harness;
  RawClient partial(harness.port());
  partial.send("GET / HTTP/1.1\r\n");
  RawClient waiting(harness.port());
  waiting.send("GET /hang HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(testing::eventually([&] { return !harness.requests().empty(); }));
  ASSERT_EQ(harness.requests().size(), 1u);

  harness.stop();
  harness.stop();
  EXPECT_EQ(partial.readToEnd(), "");
  EXPECT_FALSE(partial.timedOut());
  EXPECT_EQ(waiting.readToEnd(), "");
  EXPECT_FALSE(waiting.timedOut());
  EXPECT_FALSE(RawClient(harness.port()).connected());
  EXPECT_EQ(harness.states(), (std::vector<State>{State::ready, State::cancelled}));
}

}  // namespace
}  // namespace tavolin
