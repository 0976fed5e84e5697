// Hostile clients against the real agent: guessed pairing codes, forged forwarding headers, a
// blocked peer, and a long run of sealed commands, all over loopback sockets.
#include <fstream>
#include <iostream>
#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/SecurityRecords.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/RunningAgent.hpp"
#include "tests/support/SealingController.hpp"
#include "tests/support/TestHTTP.hpp"

namespace tavolin {
namespace {

using testing::TestHeaders;

// One request from the loopback address `source` (127.0.0.2 is as local as 127.0.0.1, but a
// different peer); answers the status line's code, or 0 when no answer came.
int statusFrom(const char* source, std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const timeval bound{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[512];
    ssize_t count = 0;
    while ((count = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return answer.starts_with("HTTP/1.1 ") ? std::stoi(answer.substr(9, 3)) : 0;
}

// Kilobytes of resident memory of a process.
long residentKilobytes(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:"))
      return std::stol(line.substr(6));
  }
  return -1;
}

// What the audit file holds of interest here.
struct AuditFile {
  std::vector<SecurityAuditEvent> events{};
};
BOOST_DESCRIBE_STRUCT(AuditFile, (), (events))

class LocalNetworkHardening : public testing::XvfbSuite {
 protected:
  std::unique_ptr<testing::RunningAgent> startAgent(
      const std::map<std::string, std::string>& environment = {}) {
    return std::make_unique<testing::RunningAgent>(*display, home, environment);
  }

  std::vector<SecurityAuditEvent> auditedEvents() const {
    const auto text = readFileIfExists(home.path() / "data/tavolin/security-audit.json");
    if (!text)
      return {};
    return decodeJSON<AuditFile>(*text).events;
  }

  static std::string body(const testing::TestHTTPResult& result) { return result.body; }

  testing::TemporaryDirectory home;
  const std::string controllerKey = testing::SealingController("unused").publicKey();
};

TEST_F(LocalNetworkHardening, PairingGuesses_CountedPerAddressAndLockedAcrossAllPeers) {
  const auto agent = startAgent();
  const auto localToken = [&](const std::string& code) {
    return TestHeaders{{"authorization", "Bearer local.v1." + code + "." + controllerKey}};
  };
  // Twelve connections, twelve ports, one address: the right code then finds it locked.
  for (int guess = 0; guess < 12; ++guess) {
    const auto refused = testing::httpRequest(agent->port, "GET", "/v1/controllers/devices",
                                              localToken(std::to_string(10000000 + guess)));
    EXPECT_EQ(body(refused), R"({"error":"invalid_local_pairing_code"})");
  }
  EXPECT_EQ(body(testing::httpRequest(agent->port, "GET", "/v1/controllers/devices",
                                      localToken(agent->pairingCode))),
            R"({"error":"too_many_auth_failures"})");

  // Through a proxy on this machine every client has an address of its own; with the twelve
  // above, sixty wrong codes from all of them lock pairing for everyone, right code included.
  const auto pairFrom = [&](int client, const std::string& code) {
    const TestHeaders proxied{{"x-forwarded-for", "100.64.7." + std::to_string(client)},
                              {"x-forwarded-proto", "https"}};
    return body(testing::httpRequest(
        agent->port, "POST", "/v1/web/pair", proxied,
        R"({"pairingCode":")" + code + R"(","publicKey":")" + controllerKey + R"("})"));
  };
  for (int client = 0; client < 48; ++client)
    EXPECT_EQ(pairFrom(client, std::to_string(20000000 + client)),
              R"({"error":"invalid_web_pairing_code"})");
  EXPECT_EQ(pairFrom(200, agent->pairingCode), R"({"error":"too_many_auth_failures"})");

  const std::string printed = agent->remainingErrorOutput(std::chrono::milliseconds(500));
  const auto marker = printed.find("TAVOLIN_LOCAL_NETWORK_PAIRING_LOCKED until=");
  EXPECT_NE(marker, std::string::npos) << printed;
  EXPECT_EQ(printed.find("TAVOLIN_LOCAL_NETWORK_PAIRING_LOCKED", marker + 1), std::string::npos);
  // Every guess is in the log, one event per address and refusal, and the lock once.
  EXPECT_TRUE(testing::eventually([&] {
    const auto events = auditedEvents();
    return std::count_if(events.begin(), events.end(),
                         [](const SecurityAuditEvent& event) {
                           return event.outcome == SecurityOutcome::pairingLocked;
                         }) == 1 &&
           std::count_if(events.begin(), events.end(), [](const SecurityAuditEvent& event) {
             return event.outcome == SecurityOutcome::authFailed;
           }) == 49;
  }));
}

TEST_F(LocalNetworkHardening, BlockedPeer_RefusedWhateverItsForwardingHeadersSay) {
  const auto agent = startAgent();
  const TestHeaders owner{
      {"authorization", "Bearer local.v1." + agent->pairingCode + "." + controllerKey}};
  const auto blocked = testing::httpRequest(agent->port, "POST", "/v1/controllers/security/blocks",
                                            owner, R"({"ipAddress":"127.0.0.2"})");
  ASSERT_EQ(blocked.status, 200) << blocked.body;

  const std::string forged =
      "\r\nX-Forwarded-For: 203.0.113.9\r\nX-Forwarded-Proto: https\r\n"
      "Authorization: Bearer local.v1." +
      agent->pairingCode + "." + controllerKey + "\r\n";
  for (const std::string& head :
       {"GET /v1/controllers/devices HTTP/1.1" + forged + "\r\n",
        "GET /v1/controllers/security/events HTTP/1.1" + forged + "\r\n",
        "POST /v1/web/pair HTTP/1.1" + forged + "Content-Length: 2\r\n\r\n{}",
        std::string("GET /v1/controllers/devices HTTP/1.1\r\n\r\n")}) {
    EXPECT_EQ(statusFrom("127.0.0.2", agent->port, head), 403) << head;
  }
  EXPECT_EQ(statusFrom("127.0.0.3", agent->port,
                       "GET /v1/controllers/devices HTTP/1.1" + forged + "\r\n"),
            401);
}

// The agent keeps what late readers need of each command, not every command it ever ran.
TEST_F(LocalNetworkHardening, SealedCommands_LeaveMemoryBounded) {
  // The sanitizer's quarantine would hold every freed block and hide what the agent keeps.
  const auto agent = startAgent({{"ASAN_OPTIONS",
                                  "detect_leaks=0:quarantine_size_mb=0:"
                                  "thread_local_quarantine_size_kb=0"}});
  const auto device = testing::httpRequest(agent->port, "GET", "/v1/local/device");
  const auto agentKey = decodeJSON<DeviceResponse>(device.body).device.publicKey.value_or("");
  const testing::SealingController controller{agentKey};
  const TestHeaders auth{
      {"authorization", "Bearer local.v1." + agent->pairingCode + "." + controller.publicKey()}};
  const auto created = testing::httpRequest(
      agent->port, "POST", "/v1/controllers/sessions", auth,
      R"({"deviceId":"d","transportMode":"hybrid","metadata":{"webConsole":true}})");
  const auto session = decodeJSON<SessionResponse>(created.body).session.id;

  int sent = 0;
  const auto sendCommands = [&](int count) {
    for (int i = 0; i < count; ++i, ++sent) {
      const TavolinPlainCommandEnvelope envelope{
          .type = "benchmark_noop",
          .payload = {{"sequence", static_cast<double>(sent)}},
          .sessionId = session,
          .commandId = "cmd-" + std::to_string(sent),
          .idempotencyKey = std::nullopt,
          .sentAt = TavolinISO8601::string(std::chrono::system_clock::now())};
      const EnqueueCommandPayload payload{
          .type = std::string(TavolinSessionCrypto::encryptedCommandType),
          .payload = controller.seal(envelope),
          .idempotencyKey = std::nullopt};
      const auto answer = testing::httpRequest(agent->port, "POST",
                                               "/v1/controllers/sessions/" + session + "/commands",
                                               auth, encodeJSON(payload));
      ASSERT_EQ(decodeJSON<CommandResponse>(answer.body).command.status, "succeeded")
          << answer.body;
    }
  };
  // Past every bound first, so what follows measures growth, not warm-up.
  sendCommands(500);
  const long before = residentKilobytes(agent->pid());
  sendCommands(10000);
  const long after = residentKilobytes(agent->pid());
  // Kept for ever, 10,000 commands took 27 MB (without the sanitizer's red zones).
  EXPECT_LT(after - before, 8 * 1024) << before << " kB, then " << after << " kB";
  std::cout << "agent resident memory across 10,000 sealed commands: " << before << " kB, then "
            << after << " kB\n";
}

}  // namespace
}  // namespace tavolin
