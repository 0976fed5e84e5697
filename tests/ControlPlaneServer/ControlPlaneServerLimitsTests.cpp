// The server in process on loopback, driven over raw sockets the way a hostile client would:
// enrolment floods, oversized fields, trickled heads, held bodies and oversized heads.
#include <array>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "ControlPlaneServer/ClientRateLimiter.hpp"
#include "ControlPlaneServer/ControlPlaneServer.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/TestHTTP.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using testing::TestHeaders;
using testing::TestHTTPConnection;
using testing::TestHTTPResult;

constexpr const char* kBootstrapToken = "limits-bootstrap";
constexpr auto kUseTuple = asio::as_tuple(asio::use_awaitable);

// An owner, a controller and an enrolled device with a pending session, made through the API.
struct Parties {
  std::string ownerToken, controllerToken, agentToken, deviceId, sessionId;
};

// The real server on its own thread, over a store whose clock the test moves.
class RunningControlPlane {
 public:
  explicit RunningControlPlane(ControlPlaneServer::Limits limits = {})
      : server_(context_.get_executor(), store_, clock_,
                ControlPlaneOptions{.bootstrapToken = kBootstrapToken}, diagnostics_, limits) {
    port = server_.listen(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    thread_ = std::thread([this] { context_.run(); });
  }

  ~RunningControlPlane() {
    asio::post(context_, [this] { server_.stop(); });
    thread_.join();
  }

  // The clock belongs to the server's thread.
  void advanceClock(std::chrono::system_clock::duration by) {
    std::promise<void> done;
    asio::post(context_, [&] {
      clock_.advance(by);
      done.set_value();
    });
    done.get_future().get();
  }

  TestHTTPResult call(std::string_view method, std::string_view target, std::string body = {},
                      const std::string& bearer = {}, const std::string& forwardedFor = {}) {
    TestHeaders headers;
    if (!bearer.empty())
      headers["authorization"] = "Bearer " + bearer;
    if (!forwardedFor.empty())
      headers["x-forwarded-for"] = forwardedFor;
    headers["x-bootstrap-token"] = kBootstrapToken;
    return testing::httpRequest(port, method, target, headers, std::move(body));
  }

  template <class Record>
  Record ok(std::string_view method, std::string_view target, std::string body = {},
            const std::string& bearer = {}, const std::string& forwardedFor = {}) {
    const auto answer = call(method, target, std::move(body), bearer, forwardedFor);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    return decodeJSON<Record>(answer.body);
  }

  // Enrols a device as `forwardedFor` would, approved by `ownerToken`; the agent's token.
  std::string enrol(const std::string& ownerToken, const std::string& forwardedFor,
                    std::string* deviceId = nullptr) {
    const auto request = ok<EnrollmentRequestResponse>(
        "POST", "/v1/agents/enrollment-requests",
        encodeJSON(EnrollmentRequestPayload{.deviceName = "Desk", .platform = "linux"}), {},
        forwardedFor);
    const auto device =
        ok<DeviceResponse>("POST", "/v1/owner/enrollment-requests/approve",
                           encodeJSON(ApproveEnrollmentPayload{.code = request.code}), ownerToken);
    if (deviceId != nullptr)
      *deviceId = device.device.id;
    return ok<EnrollmentClaimResponse>(
               "GET",
               "/v1/agents/enrollment-requests/" + request.request.id + "?code=" + request.code, {},
               {}, forwardedFor)
        .agentToken.value_or("");
  }

  Parties populate() {
    Parties parties;
    parties.ownerToken =
        ok<BootstrapOwnerResponse>(
            "POST", "/v1/bootstrap/owner",
            encodeJSON(BootstrapOwnerPayload{.displayName = "Owner", .credentialLabel = "test"}))
            .ownerToken;
    parties.controllerToken =
        ok<CreateControllerResponse>(
            "POST", "/v1/owner/controllers",
            encodeJSON(CreateControllerPayload{.name = "Laptop", .platform = "web"}),
            parties.ownerToken)
            .controllerToken;
    parties.agentToken = enrol(parties.ownerToken, {}, &parties.deviceId);
    parties.sessionId =
        ok<SessionResponse>("POST", "/v1/controllers/sessions",
                            encodeJSON(CreateSessionPayload{.deviceId = parties.deviceId,
                                                            .transportMode = "webrtc"}),
                            parties.controllerToken)
            .session.id;
    return parties;
  }

  std::uint16_t port = 0;

 private:
  testing::TemporaryDirectory directory_;
  testing::ManualClock clock_;
  ControlPlaneStore store_{directory_.path() / "control-plane.sqlite3", clock_};
  std::ostringstream diagnostics_;
  asio::io_context context_;
  ControlPlaneServer server_;
  std::thread thread_;
};

// One raw connection, for bytes no HTTP client sends; every wait ends within `timeout`.
class RawConnection {
 public:
  RawConnection(std::uint16_t port, std::chrono::milliseconds timeout = 10s)
      : stream_(context_), timeout_(timeout) {
    stream_.expires_after(timeout_);
    wait(stream_.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                               asio::use_future));
  }

  void send(std::string_view bytes) {
    stream_.expires_after(timeout_);
    wait(asio::async_write(stream_, asio::buffer(bytes), asio::use_future));
  }

  // Everything read up to and including `marker`; throws when the connection ends first.
  std::string readUntil(std::string_view marker) {
    stream_.expires_after(timeout_);
    const auto end = wait(asio::async_read_until(stream_, asio::dynamic_buffer(received_),
                                                 std::string(marker), asio::use_future));
    std::string out = received_.substr(0, end);
    received_.erase(0, end);
    return out;
  }

  // True when the server ends the connection, false when it is still open at the timeout.
  bool closedByServer() {
    stream_.expires_after(timeout_);
    std::array<char, 256> discard{};
    try {
      for (;;)
        wait(stream_.async_read_some(asio::buffer(discard), asio::use_future));
    } catch (const boost::system::system_error& error) {
      return error.code() != boost::beast::error::timeout;
    }
  }

 private:
  template <class Result>
  Result wait(std::future<Result> result) {
    context_.restart();
    context_.run();
    return result.get();
  }
  void wait(std::future<void> result) {
    context_.restart();
    context_.run();
    result.get();
  }

  asio::io_context context_;
  boost::beast::tcp_stream stream_;
  std::chrono::milliseconds timeout_;
  std::string received_;
};

// Sends a request head a byte at a time, ten bytes a second; counts the connection as closed
// when the server drops it while bytes still come (a write fails), within about ten seconds.
Awaitable<void> trickleHead(std::uint16_t port, int& connected, int& closed) {
  tcp::socket socket(co_await asio::this_coro::executor);
  co_await socket.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                                asio::use_awaitable);
  ++connected;
  const std::string head = "GET /v1/owner/status HTTP/1.1\r\nx-slow: " + std::string(100, 'a');
  asio::steady_timer pace(co_await asio::this_coro::executor);
  for (const char byte : head) {
    auto [error, written] = co_await asio::async_write(socket, asio::buffer(&byte, 1), kUseTuple);
    if (error) {
      ++closed;
      co_return;
    }
    pace.expires_after(100ms);
    co_await pace.async_wait(asio::use_awaitable);
  }
}

std::string heldBodyHead(std::size_t contentLength) {
  return "POST /v1/agents/enrollment-requests HTTP/1.1\r\ncontent-type: application/json\r\n"
         "expect: 100-continue\r\ncontent-length: " +
         std::to_string(contentLength) + "\r\n\r\n";
}

TEST(ControlPlaneServerLimits, EnrollmentFlood_IsRefusedPerClientWhileOthersEnrol) {
  RunningControlPlane server;
  const auto parties = server.populate();
  const std::string payload =
      encodeJSON(EnrollmentRequestPayload{.deviceName = "Flood", .platform = "linux"});

  // Through the proxy on loopback, the forwarded address is the client.
  std::vector<EnrollmentRequestResponse> flood;
  for (int i = 0; i < 25; ++i) {
    const auto answer =
        server.call("POST", "/v1/agents/enrollment-requests", payload, {}, "203.0.113.7, 10.0.0.1");
    if (answer.status == 200) {
      flood.push_back(decodeJSON<EnrollmentRequestResponse>(answer.body));
    } else {
      EXPECT_EQ(answer.status, 429);
      EXPECT_EQ(answer.body, R"({"error":"too_many_enrollment_requests"})");
    }
  }
  EXPECT_EQ(flood.size(), 10u);

  // Another client still enrols and is approved.
  EXPECT_FALSE(server.enrol(parties.ownerToken, "198.51.100.9").empty());

  // Once past their lifetime and retention, the flood's requests are pruned.
  server.advanceClock(ControlPlaneStore::enrollmentLifetime +
                      ControlPlaneStore::expiredEnrollmentRetention + 1s);
  const auto expired =
      "/v1/agents/enrollment-requests/" + flood[0].request.id + "?code=" + flood[0].code;
  EXPECT_EQ(server.call("GET", expired).status, 200);
  EXPECT_EQ(server.call("POST", "/v1/agents/enrollment-requests", payload, {}, "192.0.2.44").status,
            200);
  EXPECT_EQ(server.call("GET", expired).status, 404);
}

TEST(ControlPlaneServerLimits, OversizedFields_AreRefusedAndNothingIsStored) {
  RunningControlPlane server;
  const auto parties = server.populate();
  const std::string controllerSession = "/v1/controllers/sessions/" + parties.sessionId;

  // At the limit a field is stored.
  const std::string hostname(255, 'h');
  HeartbeatPayload heartbeat;
  heartbeat.hostname = hostname;
  server.ok<DeviceResponse>("POST", "/v1/agent/heartbeat", encodeJSON(heartbeat),
                            parties.agentToken);

  const auto withHeartbeat = [](auto change) {
    HeartbeatPayload payload;
    change(payload);
    return encodeJSON(payload);
  };
  // Two halves of session metadata that each fit, and do not once laid together at acceptance.
  JSONObject controllerHalf, agentHalf;
  for (int i = 0; i < 10; ++i) {
    controllerHalf.set("c" + std::to_string(i), std::string(4000, 'm'));
    agentHalf.set("a" + std::to_string(i), std::string(4000, 'm'));
  }
  const auto pending = server.ok<SessionResponse>(
      "POST", "/v1/controllers/sessions",
      encodeJSON(CreateSessionPayload{
          .deviceId = parties.deviceId, .transportMode = "webrtc", .metadata = controllerHalf}),
      parties.controllerToken);
  const JSONObject bigSignal{{"sdp", std::string(64 * 1024, 's')}};
  const JSONObject bigCommand{{"data", std::string(2 * 1024 * 1024, 'c')}};

  struct Case {
    std::string target, bearer, body, detail;
  };
  const std::vector<Case> cases{
      {"/v1/agent/heartbeat", parties.agentToken,
       withHeartbeat([](auto& p) { p.hostname = std::string(256, 'h'); }),
       "hostname exceeds 255 bytes"},
      {"/v1/agent/heartbeat", parties.agentToken,
       withHeartbeat([](auto& p) { p.osVersion = std::string(129, 'o'); }),
       "osVersion exceeds 128 bytes"},
      {"/v1/agent/heartbeat", parties.agentToken, withHeartbeat([](auto& p) {
         p.capabilities = JSONObject{{"x", std::string(16384, 'c')}};
       }),
       "capabilities exceeds 16384 bytes"},
      {"/v1/agent/heartbeat", parties.agentToken, withHeartbeat([](auto& p) {
         p.windows.resize(1, WindowInfo{.url = std::string(65537, 'u')});
       }),
       "windows[0].url exceeds 65536 bytes"},
      // A value counts as its JSON text, quotes included.
      {"/v1/controllers/sessions", parties.controllerToken,
       encodeJSON(CreateSessionPayload{.deviceId = parties.deviceId,
                                       .transportMode = "webrtc",
                                       .metadata = {{"note", std::string(4095, 'n')}}}),
       "metadata.note exceeds 4096 bytes"},
      {"/v1/agent/sessions/" + pending.session.id + "/accept", parties.agentToken,
       encodeJSON(SessionMetadataPayload{.metadata = agentHalf}), "metadata exceeds 65536 bytes"},
      {controllerSession + "/signals", parties.controllerToken,
       encodeJSON(SignalPayload{.type = "offer", .payload = bigSignal}),
       "payload exceeds 65536 bytes"},
      {controllerSession + "/commands", parties.controllerToken,
       encodeJSON(EnqueueCommandPayload{.type = "input", .payload = bigCommand}),
       "payload exceeds 2097152 bytes"},
  };
  for (const auto& c : cases) {
    const auto answer = server.call("POST", c.target, c.body, c.bearer);
    EXPECT_EQ(answer.status, 400) << c.detail;
    EXPECT_EQ(decodeJSON<JSONObject>(answer.body),
              (JSONObject{{"error", "field_too_long"}, {"detail", c.detail}}));
  }

  const auto device = server.ok<DeviceDetailResponse>(
      "GET", "/v1/controllers/devices/" + parties.deviceId, {}, parties.controllerToken);
  EXPECT_EQ(device.device.hostname, hostname);
  EXPECT_EQ(server
                .ok<SessionResponse>("GET", "/v1/controllers/sessions/" + pending.session.id, {},
                                     parties.controllerToken)
                .session.status,
            "pending");
  EXPECT_TRUE(
      server.ok<SignalsResponse>("GET", controllerSession + "/signals", {}, parties.controllerToken)
          .signals.empty());
}

TEST(ControlPlaneServerLimits, SlowAndHeldConnections_AreClosedWhileOthersAreServed) {
  ControlPlaneServer::Limits limits;
  limits.maxConnections = 4;
  limits.headTimeout = 2s;
  limits.bodyTimeout = 1s;
  limits.maxBufferedBytes = 8000;
  RunningControlPlane server(limits);
  const auto parties = server.populate();

  // A signal stream is busy, not waiting: the cap never takes it.
  RawConnection stream(server.port);
  stream.send("GET /v1/agent/sessions/" + parties.sessionId +
              "/signals/events HTTP/1.1\r\nauthorization: Bearer " + parties.agentToken +
              "\r\n\r\n");
  stream.readUntil("event: ready");

  {
    // Heads trickling in hold no slot for long: the cap takes the oldest to make room, and
    // the head deadline, which their bytes do not move, ends the rest.
    constexpr int kSlow = 12;
    asio::io_context clients;
    int connected = 0;
    int closed = 0;
    for (int i = 0; i < kSlow; ++i) {
      asio::co_spawn(clients, trickleHead(server.port, connected, closed),
                     [](std::exception_ptr failure) { EXPECT_FALSE(failure); });
    }
    while (connected < kSlow && clients.run_one() > 0) {
    }
    EXPECT_EQ(TestHTTPConnection(server.port, 1s).request("GET", "/v1/owner/status").status, 200);
    clients.restart();
    clients.run();
    EXPECT_EQ(closed, kSlow);
  }

  const SignalPayload offer{.type = "offer", .payload = {}};
  server.ok<SignalResponse>("POST", "/v1/controllers/sessions/" + parties.sessionId + "/signals",
                            encodeJSON(offer), parties.controllerToken);
  stream.readUntil("event: signal");
  server.ok<SessionResponse>("POST", "/v1/controllers/sessions/" + parties.sessionId + "/end", {},
                             parties.controllerToken);
  stream.readUntil("event: close");

  // Bodies held back keep their slots and their share of the buffer budget until the body
  // deadline; a body the budget cannot hold is refused, and so is a connection when no slot
  // is waiting.
  std::vector<std::unique_ptr<RawConnection>> held;
  const auto hold = [&](std::size_t contentLength) {
    held.push_back(std::make_unique<RawConnection>(server.port));
    held.back()->send(heldBodyHead(contentLength));
    EXPECT_EQ(held.back()->readUntil("\r\n\r\n").substr(0, 12), "HTTP/1.1 100");
  };
  for (int i = 0; i < 3; ++i)
    hold(2000);
  const std::string overBudget(3000, ' ');
  EXPECT_EQ(server.call("POST", "/v1/agents/enrollment-requests", overBudget).body,
            R"({"error":"server_busy"})");
  hold(100);
  EXPECT_THROW(TestHTTPConnection(server.port, 1s).request("GET", "/v1/owner/status"),
               boost::system::system_error);
  for (const auto& connection : held)
    EXPECT_TRUE(connection->closedByServer());
  const auto afterwards = server.call("POST", "/v1/agents/enrollment-requests", overBudget);
  EXPECT_EQ(afterwards.status, 400);
  EXPECT_NE(afterwards.body.find("invalid_json"), std::string::npos);

  // A head past its limit is refused, not gathered.
  RawConnection big(server.port);
  try {
    big.send("GET /v1/owner/status HTTP/1.1\r\nx-padding: " + std::string(100 * 1024, 'p') +
             "\r\n\r\n");
    const auto answer = big.readUntil("}");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 400");
    EXPECT_NE(answer.find(R"({"error":"header_too_large"})"), std::string::npos);
  } catch (const boost::system::system_error&) {
    // Closed without an answer: refused all the same.
  }
}

TEST(ControlPlaneClientRateLimiter, WindowsSlideAndMemoryStaysBounded) {
  using Kind = ClientRateLimiter::Kind;
  ClientRateLimiter limiter(2);
  const auto start = ClientRateLimiter::Clock::time_point{} + 1h;
  for (int i = 0; i < 10; ++i)
    EXPECT_TRUE(limiter.allow("a", Kind::enrollmentCreate, start + i * 1s));
  EXPECT_FALSE(limiter.allow("a", Kind::enrollmentCreate, start + 1min));
  // Other kinds and other clients have windows of their own.
  EXPECT_TRUE(limiter.allow("a", Kind::ownerStatus, start + 1min));
  EXPECT_TRUE(limiter.allow("b", Kind::enrollmentCreate, start + 1min));
  // Ten minutes after the first request, its slot is free again.
  EXPECT_TRUE(limiter.allow("a", Kind::enrollmentCreate, start + 10min));
  EXPECT_FALSE(limiter.allow("a", Kind::enrollmentCreate, start + 10min));

  // A third client pushes out the one seen longest ago; idle clients are forgotten.
  EXPECT_TRUE(limiter.allow("c", Kind::ownerStatus, start + 10min));
  EXPECT_EQ(limiter.trackedClients(), 2u);
  EXPECT_FALSE(limiter.allow("a", Kind::enrollmentCreate, start + 10min));
  EXPECT_TRUE(limiter.allow("d", Kind::ownerStatus, start + 30min));
  EXPECT_EQ(limiter.trackedClients(), 1u);
}

}  // namespace
}  // namespace tavolin
