// The control-plane client, its HTTP client and the signal event stream against a scripted
// loopback server that records the raw requests.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ssl/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <gtest/gtest.h>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/ScriptedHTTPServer.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using testing::runAwaitable;
using testing::ScriptedHTTPServer;
using testing::ScriptedReply;

const std::string deviceJSON =
    R"({"id":"dev_1","ownerId":"own_1","name":"Desk","platform":"linux","capabilities":{},)"
    R"("status":"online","createdAt":"2024-05-01T10:00:00.000Z",)"
    R"("updatedAt":"2024-05-01T10:00:00.000Z"})";

// Built outside the coroutines on purpose; see HTTPRequest.
HTTPRequest request(std::string method, std::string url) {
  HTTPRequest request;
  request.method = std::move(method);
  request.url = std::move(url);
  return request;
}

std::string ok(std::string_view body) {
  return ScriptedHTTPServer::response(200, body);
}

std::vector<std::string> headerNames(const testing::RecordedRequest& request) {
  std::vector<std::string> names;
  for (const auto& [name, value] : request.headers())
    names.push_back(name);
  return names;
}

// Runs `call` and returns the TavolinAPIError it throws.
template <class Call>
std::optional<TavolinAPIError> apiErrorOf(Call call) {
  try {
    runAwaitable(call());
  } catch (const TavolinAPIError& error) {
    return error;
  }
  return std::nullopt;
}

class TavolinAPIClientRequests : public ::testing::Test {
 protected:
  ScriptedHTTPServer server;
  std::shared_ptr<HTTPClient> http = std::make_shared<HTTPClient>();
  TavolinAPIClient client{server.origin() + "/api", http};
};

TEST_F(TavolinAPIClientRequests, BasePathPrefix_IsKept) {
  server.enqueue(ScriptedReply::bytes(ok(R"({"ownerExists":true,"bootstrapConfigured":false})")));
  server.enqueue(ScriptedReply::bytes(ok(R"({"ownerExists":false,"bootstrapConfigured":true})")));

  EXPECT_EQ(runAwaitable(client.ownerStatus()), (OwnerStatus{true, false}));
  // A trailing slash on the base adds no empty segment.
  TavolinAPIClient slashed(server.origin() + "/api/", http);
  EXPECT_EQ(runAwaitable(slashed.ownerStatus()), (OwnerStatus{false, true}));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine(), "GET /api/v1/owner/status HTTP/1.1");
  EXPECT_EQ(requests[1].requestLine(), "GET /api/v1/owner/status HTTP/1.1");
  EXPECT_EQ(requests[0].header("authorization"), std::nullopt);
  EXPECT_EQ(requests[0].header("content-type"), std::nullopt);
}

TEST_F(TavolinAPIClientRequests, Headers_SetInOrderWithTheirValues) {
  const std::string created =
      R"({"controller":{"id":"ctl_1","ownerId":"own_1","name":"Phone","platform":"ios",)"
      R"("createdAt":"t"},"controllerToken":"ct"})";
  server.enqueue(ScriptedReply::bytes(ok(created)));
  server.enqueue(ScriptedReply::bytes(ok(created)));
  const CreateControllerPayload payload{"Phone", "ios", std::nullopt};

  const auto response = runAwaitable(client.createController(OwnerToken{"owner-secret"}, payload));
  EXPECT_EQ(response.controllerToken, "ct");
  runAwaitable(client.createController(BootstrapToken{"boot-secret"}, payload));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine(), "POST /api/v1/owner/controllers HTTP/1.1");
  EXPECT_EQ(headerNames(requests[0]), (std::vector<std::string>{"Host", "accept", "authorization",
                                                                "content-type", "Content-Length"}));
  EXPECT_EQ(requests[0].header("accept"), "application/json");
  EXPECT_EQ(requests[0].header("authorization"), "Bearer owner-secret");
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  EXPECT_EQ(requests[0].body, encodeJSON(payload));

  EXPECT_EQ(requests[1].requestLine(), "POST /api/v1/bootstrap/controllers HTTP/1.1");
  EXPECT_EQ(headerNames(requests[1]),
            (std::vector<std::string>{"Host", "accept", "x-bootstrap-token", "content-type",
                                      "Content-Length"}));
  EXPECT_EQ(requests[1].header("x-bootstrap-token"), "boot-secret");
}

TEST_F(TavolinAPIClientRequests, QueryItemsAndPathValues_AreEscaped) {
  const std::string claim =
      R"({"request":{"id":"r","deviceName":"d","platform":"linux","capabilities":{},)"
      R"("status":"pending","expiresAt":"t","createdAt":"t"}})";
  server.enqueue(ScriptedReply::bytes(ok(claim)));
  server.enqueue(ScriptedReply::bytes(ok(R"({"signals":[]})")));
  server.enqueue(ScriptedReply::bytes(ok(R"({"commands":[]})")));

  const std::string code = "a b&c=d+e/é?#%";
  runAwaitable(client.pollEnrollment("req/1 ?#", code));
  runAwaitable(client.agentSignals("agent", "..", 42));
  runAwaitable(client.claimCommands("agent", 10));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  const auto target = [](const testing::RecordedRequest& request) {
    const auto line = request.requestLine();
    const auto start = line.find(' ') + 1;
    return line.substr(start, line.rfind(' ') - start);
  };
  // The id stays one segment: its "/", "?" and "#" do not start a segment, query or fragment.
  const std::string pollTarget = target(requests[0]);
  const auto poll = boost::urls::parse_origin_form(pollTarget).value();
  EXPECT_EQ(poll.encoded_path(), "/api/v1/agents/enrollment-requests/req%2F1%20%3F%23");
  ASSERT_EQ(poll.params().size(), 1u);
  EXPECT_EQ((*poll.params().begin()).key, "code");
  EXPECT_EQ((*poll.params().begin()).value, code);
  // "+" and "&" are escaped too, so form-style decoders read the same value.
  EXPECT_EQ((*poll.encoded_params().begin()).value.find_first_of("+&= "), std::string::npos);

  EXPECT_EQ(target(requests[1]), "/api/v1/agent/sessions/%2E%2E/signals?after=42");
  EXPECT_EQ(target(requests[2]), "/api/v1/agent/commands?limit=10");
}

TEST_F(TavolinAPIClientRequests, PostWithoutPayload_SendsEmptyBodyWithoutContentType) {
  const std::string config = R"({"device":)" + deviceJSON +
                             R"(,"tokenSecret":"s","listenPort":7391,"requiresHTTPS":true,)"
                             R"("recommendedExternalPort":443,"route":"direct-internet"})";
  server.enqueue(ScriptedReply::bytes(ok(config)));

  const auto response = runAwaitable(client.rotateDirectAccessConfig("ctl"));
  EXPECT_EQ(response.listenPort, 7391);
  EXPECT_EQ(response.device.id, "dev_1");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(), "POST /api/v1/local/direct-access/rotate HTTP/1.1");
  EXPECT_EQ(requests[0].header("content-type"), std::nullopt);
  EXPECT_EQ(requests[0].header("Content-Length"), "0");
  EXPECT_EQ(requests[0].body, "");
}

TEST_F(TavolinAPIClientRequests, NonSuccessStatus_ThrowsHTTPStatusWithUTF8BodyOnly) {
  server.enqueue(
      ScriptedReply::bytes(ScriptedHTTPServer::response(401, R"({"error":"invalid_token"})")));
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(500, "caf\xc3\xa9 \xff\xfe")));
  server.enqueue(
      ScriptedReply::bytes(ScriptedHTTPServer::response(302, "", {"Location: /elsewhere"})));

  const auto unauthorized = apiErrorOf([&] { return client.pendingSessions("agent"); });
  ASSERT_TRUE(unauthorized);
  EXPECT_EQ(unauthorized->kind(), TavolinAPIError::Kind::httpStatus);
  EXPECT_EQ(unauthorized->status(), 401);
  EXPECT_EQ(unauthorized->description(), R"(HTTP 401: {"error":"invalid_token"})");

  const auto failed = apiErrorOf([&] { return client.activeSessions("agent"); });
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->description(), "HTTP 500: ");

  // Redirects are the caller's business.
  const auto moved = apiErrorOf([&] { return client.activeSessions("agent"); });
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->description(), "HTTP 302: ");
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(TavolinAPIClientRequests, BadURLOrNonHTTPReply_ThrowsInvalidURLOrInvalidResponse) {
  for (const std::string base : {"", "not a url", "ftp://example.com", "http:///nohost"}) {
    TavolinAPIClient broken(base, http);
    const auto error = apiErrorOf([&] { return broken.ownerStatus(); });
    ASSERT_TRUE(error) << base;
    EXPECT_EQ(error->description(), "Invalid API URL.");
    EXPECT_THROW(broken.agentSignalEventsRequest("a", "s", 0), TavolinAPIError);
  }

  server.enqueue(ScriptedReply::bytes("SSH-2.0-OpenSSH_9.2\r\n\r\n", true));
  const auto error = apiErrorOf([&] { return client.ownerStatus(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), TavolinAPIError::Kind::invalidResponse);
  EXPECT_EQ(error->description(), "The server returned an invalid response.");
}

// The connection pool and its retry rule.

class HTTPClientConnections : public ::testing::Test {
 protected:
  ScriptedHTTPServer server;
  std::shared_ptr<HTTPClient> http = std::make_shared<HTTPClient>();
};

TEST_F(HTTPClientConnections, KeepAlive_ReusesOneConnection) {
  for (int i = 0; i < 3; ++i)
    server.enqueue(ScriptedReply::bytes(ok("{}")));

  runAwaitable([&]() -> Awaitable<void> {
    for (int i = 0; i < 3; ++i) {
      const auto response = co_await http->send(request("GET", server.origin() + "/x"));
      EXPECT_EQ(response.status, 200);
    }
  }());
  EXPECT_EQ(server.acceptedConnections(), 1u);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(HTTPClientConnections, IdleConnectionClosedByServer_IsRetriedOnceOnAFreshOne) {
  // The server drops the connection after answering, without saying so in the response.
  server.enqueue(ScriptedReply::bytes(ok("first"), true));
  server.enqueue(ScriptedReply::bytes(ok("second")));

  runAwaitable([&]() -> Awaitable<void> {
    EXPECT_EQ((co_await http->send(request("GET", server.origin() + "/a"))).body, "first");
    EXPECT_EQ((co_await http->send(request("GET", server.origin() + "/b"))).body, "second");
  }());
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(server.acceptedConnections(), 2u);
  EXPECT_EQ(requests[1].connection, 1u);
  EXPECT_EQ(requests[1].requestLine(), "GET /b HTTP/1.1");
}

TEST_F(HTTPClientConnections, ConnectionLostAfterPartOfTheResponse_IsNotRetried) {
  server.enqueue(ScriptedReply::bytes(ok("first")));
  server.enqueue(ScriptedReply::bytes("HTTP/1.1 200 OK\r\nContent-Le", true));

  runAwaitable([&]() -> Awaitable<void> {
    co_await http->send(request("GET", server.origin() + "/a"));
    EXPECT_THROW(co_await http->send(request("POST", server.origin() + "/b")),
                 boost::system::system_error);
  }());
  EXPECT_EQ(server.acceptedConnections(), 1u);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HTTPClientConnections, BodyOverLimit_FailsAndConnectionIsNotReused) {
  http = std::make_shared<HTTPClient>(HTTPClientOptions{.maxResponseBodyBytes = 16});
  server.enqueue(ScriptedReply::bytes(ok(std::string(16, 'a'))));
  server.enqueue(ScriptedReply::bytes(ok(std::string(17, 'b'))));
  server.enqueue(ScriptedReply::bytes(ok("after")));

  runAwaitable([&]() -> Awaitable<void> {
    EXPECT_EQ((co_await http->send(request("GET", server.origin() + "/"))).body.size(), 16u);
    try {
      co_await http->send(request("GET", server.origin() + "/"));
      ADD_FAILURE() << "an over-long body was accepted";
    } catch (const boost::system::system_error& error) {
      EXPECT_EQ(error.code(), boost::beast::http::error::body_limit);
    }
    EXPECT_EQ((co_await http->send(request("GET", server.origin() + "/"))).body, "after");
  }());
  EXPECT_EQ(server.acceptedConnections(), 2u);
}

// TLS against a certificate made for the test: trusted only through the extra anchor.

class HTTPClientTLS : public ::testing::Test {
 protected:
  void SetUp() override {
    certificate = directory.path() / "certificate.pem";
    privateKey = directory.path() / "key.pem";
    const auto result =
        testing::runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                             "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
                             "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout",
                             privateKey.string(), "-out", certificate.string()});
    if (result.exitCode != 0)
      GTEST_SKIP() << "openssl could not make a certificate: " << result.standardError;
    server.emplace(ScriptedHTTPServer::TLSFiles{certificate, privateKey});
  }

  testing::TemporaryDirectory directory;
  std::filesystem::path certificate;
  std::filesystem::path privateKey;
  std::optional<ScriptedHTTPServer> server;
};

TEST_F(HTTPClientTLS, Handshake_VerifiesAnchorAndHostName) {
  server->enqueue(ScriptedReply::bytes(ok("secure")));
  auto trusting =
      std::make_shared<HTTPClient>(HTTPClientOptions{.extraCertificateAuthorityFile = certificate});
  auto systemOnly = std::make_shared<HTTPClient>();

  runAwaitable([&]() -> Awaitable<void> {
    const auto response =
        co_await trusting->send(request("GET", server->origin("localhost") + "/t"));
    EXPECT_EQ(response.body, "secure");
    // Not in the system store.
    EXPECT_THROW(co_await systemOnly->send(request("GET", server->origin("localhost") + "/t")),
                 boost::system::system_error);
    // Trusted, but issued for another name.
    EXPECT_THROW(co_await trusting->send(request("GET", server->origin("127.0.0.1") + "/t")),
                 boost::system::system_error);
  }());
  const auto requests = server->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].serverName, "localhost");
  EXPECT_EQ(requests[0].header("Host"), "localhost:" + std::to_string(server->port()));
}

// The signal event stream over a live connection.

std::string sseHead(int status = 200) {
  return "HTTP/1.1 " + std::to_string(status) +
         " OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n";
}

// The same surroundings: a scripted server, an HTTP client and the API client over it.
class SignalEventStreamOverHTTP : public TavolinAPIClientRequests {};

TEST_F(SignalEventStreamOverHTTP, Events_ArriveBeforeTheBodyEnds) {
  const std::size_t more = server.makeGate();
  const std::string signal =
      R"({"signal":{"sequence":8,"id":"g","sessionId":"s 1","ownerId":"o","controllerId":"c",)"
      R"("deviceId":"d","sender":"controller","type":"answer","payload":{},"createdAt":"t"}})";
  ScriptedReply reply;
  reply.pieces = {
      {sseHead() + ScriptedHTTPServer::chunk(": hello\r\nevent: ready\r\ndata: "
                                             R"({"afterSequence":7})"
                                             "\r\n\r\n"),
       std::nullopt},
      // Held back until the test has seen the first event. A "\r\n" split over two chunks is
      // one line end, and a line split over two chunks is one line.
      {ScriptedHTTPServer::chunk("event: error\r\ndata: a\r") +
           ScriptedHTTPServer::chunk("\ndata: b\r\n\r\n") +
           ScriptedHTTPServer::chunk("data: " + signal.substr(0, 20)) +
           ScriptedHTTPServer::chunk(signal.substr(20) + "\n\n") +
           ScriptedHTTPServer::chunk("event: close\ndata: {\"reason\":\"done\"}\n\n") +
           std::string(ScriptedHTTPServer::lastChunk),
       more},
  };
  server.enqueue(std::move(reply));

  runAwaitable([&]() -> Awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    auto events = TavolinSignalEventStream::events(
        executor, client.agentSignalEventsRequest("agent-token", "s 1", 7), http);
    EXPECT_EQ(co_await events.next(), TavolinSignalEvent::ready(7, std::nullopt));
    server.openGate(more);
    EXPECT_EQ(co_await events.next(), TavolinSignalEvent::error("a\nb"));
    const auto next = co_await events.next();
    EXPECT_TRUE(next && std::holds_alternative<TavolinSignalEvent::Signal>(next->value));
    if (next && std::holds_alternative<TavolinSignalEvent::Signal>(next->value)) {
      EXPECT_EQ(std::get<TavolinSignalEvent::Signal>(next->value).signal.sequence, 8);
    }
    EXPECT_EQ(co_await events.next(), TavolinSignalEvent::close(0, std::nullopt, "done"));
    EXPECT_EQ(co_await events.next(), std::nullopt);
  }());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(),
            "GET /api/v1/agent/sessions/s%201/signals/events?after=7 HTTP/1.1");
  EXPECT_EQ(headerNames(requests[0]),
            (std::vector<std::string>{"Host", "accept", "authorization"}));
  EXPECT_EQ(requests[0].header("accept"), "text/event-stream");
  EXPECT_EQ(requests[0].header("authorization"), "Bearer agent-token");
}

TEST_F(SignalEventStreamOverHTTP, FailedOpening_EndsWithTheStreamError) {
  server.enqueue(ScriptedReply::bytes(ScriptedHTTPServer::response(401, "event: x\n\n")));
  server.enqueue(ScriptedReply::bytes("garbage\r\n\r\n", true));

  const auto endingOf = [&](const HTTPRequest& request) -> std::optional<std::string> {
    return runAwaitable([&]() -> Awaitable<std::optional<std::string>> {
      auto events =
          TavolinSignalEventStream::events(co_await asio::this_coro::executor, request, http);
      std::optional<std::string> description;
      try {
        while (co_await events.next()) {
          ADD_FAILURE() << "an event from a failed stream";
        }
      } catch (const TavolinSignalEventStreamError& error) {
        description = error.description();
      }
      // The error is reported once; the sequence is over after it.
      EXPECT_EQ(co_await events.next(), std::nullopt);
      co_return description;
    }());
  };
  EXPECT_EQ(endingOf(client.controllerSignalEventsRequest("ctl", "s", 0)),
            "The signal event stream returned HTTP 401.");
  EXPECT_EQ(endingOf(client.controllerSignalEventsRequest("ctl", "s", 0)),
            "The signal event stream returned an invalid response.");
}

TEST_F(SignalEventStreamOverHTTP, DroppingTheSequence_CancelsTheReadAndClosesTheConnection) {
  const std::size_t held = server.makeGate();
  ScriptedReply reply;
  reply.pieces = {
      {sseHead() + ScriptedHTTPServer::chunk("event: heartbeat\ndata: {\"afterSequence\":2}\n\n"),
       std::nullopt},
      {ScriptedHTTPServer::chunk("data: unreachable\n\n"), held},
  };
  server.enqueue(std::move(reply));

  // runAwaitable returns only once nothing is pending on its context, so a read that ignored
  // the cancellation would hang here rather than pass.
  runAwaitable([&]() -> Awaitable<void> {
    auto events = TavolinSignalEventStream::events(
        co_await asio::this_coro::executor, client.agentSignalEventsRequest("a", "s", 2), http);
    EXPECT_EQ(co_await events.next(), TavolinSignalEvent::heartbeat(2, std::nullopt));
  }());
  // Once released, the server's write and its next read meet the closed socket.
  server.openGate(held);
  server.waitForClosedConnections(1);
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace tavolin
