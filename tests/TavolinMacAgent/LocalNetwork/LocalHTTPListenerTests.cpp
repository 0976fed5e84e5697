#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <boost/asio/as_tuple.hpp>
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

std::vector<std::unique_ptr<RawClient>> connectClients(std::uint16_t port, int count,
                                                       std::string_view firstBytes) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int index = 0; index < count; ++index) {
    clients.push_back(std::make_unique<RawClient>(port));
    clients.back()->send(firstBytes);
  }
  return clients;
}

// True once the server has closed the connection without answering.
bool closedUnanswered(RawClient& client) {
  return client.hasBytesWithin(0ms) && client.readToEnd().empty() && !client.timedOut();
}

// The resident memory of this process, which the listener under test shares.
std::int64_t residentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:"))
      return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

// A peer that never goes quiet: one byte to each client every 100 ms until destroyed.
class Trickler {
 public:
  explicit Trickler(std::vector<RawClient*> clients)
      : thread_([this, clients = std::move(clients)] {
          std::unique_lock lock(mutex_);
          while (!stopped_.wait_for(lock, 100ms, [this] { return done_; })) {
            for (RawClient* client : clients)
              client->send("a");
          }
        }) {}
  ~Trickler() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    stopped_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool done_ = false;
  std::thread thread_;
};

// A listener whose main executor runs on its own thread, with a handler that echoes what it
// was given. "/fail" throws; "/hold..." answers once releaseHeld() is called; "/slow" suspends
// before answering.
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
  void releaseHeld() {
    onMain([this] { held_.cancel(); });
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
    if (request.path.starts_with("/hold"))
      co_await held_.async_wait(asio::as_tuple(asio::use_awaitable));
    if (request.path.starts_with("/slow")) {
      asio::steady_timer timer(co_await asio::this_coro::executor, 1ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
    LocalHTTPResponse response;
    response.body = request.method + " " + request.path + " " + request.body;
    response.extraHeaders["X-Peer"] = request.remotePeer;
    co_return response;
  }

  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{main_.get_executor()};
  asio::steady_timer held_{main_, asio::steady_timer::time_point::max()};
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

TEST(LocalHTTPListener, NegativeOrOversizedRequests_Answered400WithoutHoldingWhatTheySend) {
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

  // Heads that never end, 1 MiB from each of 100 peers at once: each is answered once past the
  // head bound, while its peer is still sending, and the rest is taken and dropped, not held.
  constexpr int kClients = 100;
  constexpr int kWriters = 10;
  const std::string fill(1024 * 1024, 'a');
  const std::int64_t residentBefore = residentBytes();
  auto clients = connectClients(harness.port(), kClients, "GET / HTTP/1.1\r\nX-Fill: ");
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      for (int index = writer; index < kClients; index += kWriters)
        clients[index]->send(fill);
    });
  }
  for (auto& writer : writers)
    writer.join();
  const auto answeredBy = std::chrono::steady_clock::now() + 10s;
  for (auto& client : clients) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        answeredBy - std::chrono::steady_clock::now());
    ASSERT_TRUE(client->hasBytesWithin(std::max(left, 0ms))) << "no answer before the peer ended";
    EXPECT_EQ(statusLine(client->readToEnd()), "HTTP/1.1 400 Bad Request");
  }
  EXPECT_LT(residentBytes() - residentBefore, std::int64_t{64} << 20);
  EXPECT_TRUE(harness.requests().empty());
}

TEST(LocalHTTPListener, BufferedBytesAcrossConnections_AreCappedAndGivenBack) {
  LocalHTTPListenerOptions options;
  options.maxBufferedBytes = 5 * 1024 * 1024;
  Harness harness(options);
  const auto request = [](std::string_view path, std::size_t bodyBytes) {
    return "POST " + std::string(path) +
           " HTTP/1.1\r\nContent-Length: " + std::to_string(bodyBytes) + "\r\n\r\n" +
           std::string(bodyBytes, 'b');
  };
  // Each fits alone, but two held by the handler leave too little for a third to be read.
  auto clients = connectClients(harness.port(), 3, request("/hold", 2 * 1024 * 1024));
  ASSERT_TRUE(testing::eventually([&] { return harness.requests().size() == 2; }));
  auto refused = clients.end();
  ASSERT_TRUE(testing::eventually([&] {
    refused =
        std::ranges::find_if(clients, [](auto& client) { return client->hasBytesWithin(0ms); });
    return refused != clients.end();
  }));
  const std::string refusal = (*refused)->readToEnd();
  EXPECT_TRUE(refusal.empty() || statusLine(refusal) == "HTTP/1.1 400 Bad Request") << refusal;
  refused->reset();
  harness.releaseHeld();
  for (auto& client : clients) {
    if (client) {
      EXPECT_EQ(statusLine(client->readToEnd()), "HTTP/1.1 200 OK");
    }
  }

  // Once those connections are gone, their share is back: one request may use most of it.
  clients.clear();
  EXPECT_TRUE(testing::eventually([&] {
    RawClient client(harness.port());
    client.send(request("/after", 4 * 1024 * 1024));
    return statusLine(client.readToEnd()) == "HTTP/1.1 200 OK";
  }));
}

TEST(LocalHTTPListener, SlowOrSilentPeers_AreClosedAtTheirDeadlinesThoughNeverQuiet) {
  LocalHTTPListenerOptions options;
  options.headTimeout = 1s;
  options.bodyTimeout = 1s;
  Harness harness(options);
  RawClient silent(harness.port());
  RawClient slowHead(harness.port());
  slowHead.send("GET / HTTP/1.1\r\nX-Slow: ");
  RawClient slowBody(harness.port());
  slowBody.send("POST /x HTTP/1.1\r\nContent-Length: 1000\r\n\r\n");
  Trickler trickler({&slowHead, &slowBody});
  // Closed within the clients' own 10 s bound, though the idle timeout is 30 s.
  for (RawClient* client : {&silent, &slowHead, &slowBody}) {
    EXPECT_EQ(client->readToEnd(), "");
    EXPECT_FALSE(client->timedOut());
  }
  EXPECT_TRUE(harness.requests().empty());
}

TEST(LocalHTTPListener, ConnectionCap_ClosesTheOldestReadingPeerAndRefusesOnlyWhenAllAreBusy) {
  LocalHTTPListenerOptions options;
  options.maxConnections = 16;
  Harness harness(options);
  // Waiting for their answer, these are not reading and must not be closed to make room.
  auto busy = connectClients(harness.port(), 1, "GET /hold/0 HTTP/1.1\r\n\r\n");
  busy.push_back(std::make_unique<RawClient>(harness.port()));
  busy.back()->send("GET /hold/1 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(testing::eventually([&] { return harness.requests().size() == 2; }));
  auto slow = connectClients(harness.port(), 20, "GET / HTTP/1.1\r\nX-Slow: ");
  std::vector<RawClient*> slowPeers;
  for (auto& client : slow)
    slowPeers.push_back(client.get());
  Trickler trickler(slowPeers);

  RawClient normal(harness.port());
  normal.send("GET /normal HTTP/1.1\r\n\r\n");
  EXPECT_EQ(statusLine(normal.readToEnd()), "HTTP/1.1 200 OK");
  // 2 busy + 20 slow + 1 normal against 16 places: the 7 oldest slow peers made room.
  constexpr int kClosed = 7;
  EXPECT_TRUE(testing::eventually([&] {
    return std::all_of(slow.begin(), slow.begin() + kClosed,
                       [](auto& client) { return closedUnanswered(*client); });
  }));
  for (auto client = slow.begin() + kClosed; client != slow.end(); ++client)
    EXPECT_FALSE((*client)->hasBytesWithin(0ms)) << client - slow.begin();
  harness.releaseHeld();
  // Held together, each still gets its own answer.
  for (std::size_t index = 0; index < busy.size(); ++index)
    EXPECT_EQ(bodyOf(busy[index]->readToEnd()), "GET /hold/" + std::to_string(index) + " ");

  options.maxConnections = 2;
  Harness full(options);
  auto answering = connectClients(full.port(), 2, "GET /hold HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(testing::eventually([&] { return full.requests().size() == 2; }));
  RawClient refused(full.port());
  refused.send("GET /refused HTTP/1.1\r\n\r\n");
  EXPECT_EQ(refused.readToEnd(), "");
  EXPECT_FALSE(refused.timedOut());
  full.releaseHeld();
  for (auto& client : answering)
    EXPECT_EQ(statusLine(client->readToEnd()), "HTTP/1.1 200 OK");
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

TEST(LocalHTTPListener, PortVariable_UsedOnlyWhenItIsAValidPortElseTheDefault) {
  const auto portFor = [](std::string value) {
    return LocalHTTPListener::preferredPort({{"TAVOLIN_LOCAL_PORT", value}});
  };
  EXPECT_EQ(portFor("1"), 1);
  EXPECT_EQ(portFor("65535"), 65535);
  for (const char* invalid : {"0", "65536", "80a"})
    EXPECT_EQ(portFor(invalid), 57852) << invalid;
}

TEST(LocalHTTPListener, Stop_ClosesEveryConnectionAndReportsCancelledOnce) {
  Harness harness;
  RawClient partial(harness.port());
  partial.send("GET / HTTP/1.1\r\n");
  RawClient waiting(harness.port());
  waiting.send("GET /hold HTTP/1.1\r\n\r\n");
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
