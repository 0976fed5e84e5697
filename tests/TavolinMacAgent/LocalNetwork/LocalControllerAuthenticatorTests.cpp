#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/LocalControllerAuthenticator.hpp"
#include "tests/support/FlakyTokenStore.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using Headers = std::map<std::string, std::string>;
using Kind = LocalControllerAuth::Kind;

constexpr const char* kCode = "48213007";
constexpr const char* kSecret = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA0";  // 43 characters
constexpr const char* kKey = "BJx3-controller-public-key_base64url";
constexpr const char* kLANPeer = "192.168.1.20:51234";

const Headers kMeshHTTPS{{"x-forwarded-for", "100.101.1.2, 8.8.8.8"},
                         {"x-forwarded-proto", "https"}};
const Headers kPublicHTTPS{{"x-forwarded-for", "203.0.113.7"}, {"x-forwarded-proto", "https"}};
const Headers kPublicHTTP{{"x-forwarded-for", "203.0.113.7"}, {"x-forwarded-proto", "http"}};

std::string localToken(std::string code = kCode) {
  return "Bearer local.v1." + code + "." + kKey;
}
std::string directToken(std::string secret = kSecret) {
  return "Bearer direct.v1." + secret + "." + kKey;
}

LocalHTTPRequest request(std::string remotePeer, Headers headers,
                         std::optional<std::string> authorization,
                         std::string path = "/v1/controllers/devices") {
  if (authorization)
    headers["authorization"] = *authorization;
  LocalHTTPRequest built;
  built.method = "GET";
  built.path = std::move(path);
  built.headers = std::move(headers);
  built.remotePeer = std::move(remotePeer);
  return built;
}

struct Harness {
  testing::TemporaryDirectory directory;
  testing::ManualClock clock;
  std::ostringstream diagnostics;
  testing::FlakyTokenStore tokens;
  asio::io_context context;
  SecurityAuditStore audit{context.get_executor(), directory.path() / "security-audit.json", clock,
                           diagnostics, SecurityAuditStore::Limits{800, 90}};
  LocalControllerAuthenticator auth{tokens, audit, clock, "agent-token-1", &diagnostics};

  Harness() {
    tokens.seed(kCode, TavolinTokenKey::localPairingCode);
    tokens.seed(kSecret, TavolinTokenKey::directAccessSecret);
    auth.localPairingCode();
  }

  // The code of the 401 `attempt` refused with, or "passed".
  std::string outcome(const std::function<void()>& attempt) {
    try {
      attempt();
    } catch (const LocalHTTPError& error) {
      EXPECT_EQ(error.kind(), LocalHTTPError::Kind::unauthorized) << error.code();
      return error.code();
    }
    return "passed";
  }
  std::string verify(const LocalHTTPRequest& request) {
    return outcome([&] { auth.verifyController(request); });
  }
  std::string pair(const LocalHTTPRequest& request, std::string code = kCode) {
    return outcome([&] { auth.webPair(request, {.pairingCode = code, .publicKey = kKey}); });
  }
};

TEST(LocalControllerToken, Parse_NeedsFourPiecesKnownKindV1AndNonEmptyCredentialAndKey) {
  const auto local = LocalControllerToken::parse("local.v1.48213007.KEY-_x");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->kind, Kind::localPairing);
  EXPECT_EQ(local->credential, "48213007");
  EXPECT_EQ(local->publicKey, "KEY-_x");
  EXPECT_EQ(local->remoteAddress, "unknown");
  EXPECT_EQ(local->routeName, "local-network");
  EXPECT_EQ(LocalControllerToken::parse("direct.v1.s.k")->kind, Kind::directAccess);

  for (const char* token :
       {"", "...", "local.v1.code", "local.v1.code.key.extra", "local.v1..key", "local.v1.code.",
        "local.v2.code.key", "local.V1.code.key", "Local.v1.code.key", "remote.v1.code.key",
        ".v1.code.key", "local.v1.code.key."}) {
    EXPECT_FALSE(LocalControllerToken::parse(token)) << token;
  }
}

TEST(LocalControllerAuthenticator, LocalPairingToken_PassesOnlyDirectlyFromLocalPeerWithTheCode) {
  Harness h;
  const auto auth = h.auth.verifyController(request(kLANPeer, {}, localToken()));
  EXPECT_EQ(auth.kind, Kind::localPairing);
  EXPECT_EQ(auth.remoteAddress, kLANPeer);
  EXPECT_EQ(auth.routeName, "local-network");
  EXPECT_EQ(h.verify(request("[fe80::1%en0]:5000", {}, localToken())), "passed");

  EXPECT_EQ(h.verify(request(kLANPeer, {{"x-forwarded-for", "192.168.1.20"}}, localToken())),
            "local_pairing_code_not_allowed_through_proxy");
  EXPECT_EQ(h.verify(request("203.0.113.7:4000", {}, localToken())),
            "local_pairing_code_not_allowed_from_public_peer");
  EXPECT_EQ(h.verify(request("100.101.1.2", {}, localToken())),
            "local_pairing_code_not_allowed_from_public_peer");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken("48213008"))), "invalid_local_pairing_code");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken("482130070"))), "invalid_local_pairing_code");
}

TEST(LocalControllerAuthenticator, MalformedAuthorization_IsMissingControllerToken) {
  Harness h;
  for (const std::optional<std::string>& authorization : std::vector<std::optional<std::string>>{
           std::nullopt, "", "Bearer", "Bearer ", "Basic bG9jYWw=", "bearer local.v1.48213007.k",
           "Bearer  local.v1.48213007.k", localToken() + ".extra", "Bearer local.v1..k",
           "Bearer local.v2.48213007.k", "Bearer pairing.v1.48213007.k"}) {
    EXPECT_EQ(h.verify(request(kLANPeer, {}, authorization)), "missing_local_controller_token")
        << authorization.value_or("(none)");
  }
}

TEST(LocalControllerAuthenticator, DirectAccessToken_NeedsHTTPSProxyOrLocalPeerAndTheStoredSecret) {
  Harness h;
  const auto mesh = h.auth.verifyController(request("127.0.0.1:6000", kMeshHTTPS, directToken()));
  EXPECT_EQ(mesh.kind, Kind::directAccess);
  EXPECT_EQ(mesh.remoteAddress, "100.101.1.2");
  EXPECT_EQ(mesh.routeName, "private-mesh");
  EXPECT_EQ(
      h.auth.verifyController(request("127.0.0.1:6000", kPublicHTTPS, directToken())).routeName,
      "direct-internet");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken())), "passed");

  EXPECT_EQ(h.verify(request("127.0.0.1:6000", kPublicHTTP, directToken())),
            "direct_access_requires_https_proxy_or_local_peer");
  EXPECT_EQ(h.verify(request("203.0.113.7:4000", {}, directToken())),
            "direct_access_requires_https_proxy_or_local_peer");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken(std::string(kSecret) + "A"))),
            "invalid_direct_access_token");

  // A stored secret one character short does not count, even when the token repeats it.
  const std::string shortSecret(42, 'A');
  h.tokens.seed(shortSecret, TavolinTokenKey::directAccessSecret);
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken(shortSecret))),
            "invalid_direct_access_token");
  h.tokens.values.erase(TavolinTokenKey::directAccessSecret);
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken())), "invalid_direct_access_token");
}

TEST(LocalControllerAuthenticator, FailureLimit_RefusesEvenTheRightCodeUntilTheOldestAgesOut) {
  Harness h;
  const auto start = h.clock.now();
  for (int failure = 0; failure < 12; ++failure) {
    EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken("00000000"))),
              "invalid_local_pairing_code");
    h.clock.advance(1s);
  }
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "too_many_auth_failures");
  EXPECT_EQ(h.pair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair")), "too_many_auth_failures");
  EXPECT_EQ(h.verify(request("192.168.1.21:51234", {}, localToken())), "passed");

  // The oldest failure sits exactly on the cut-off: it still counts. Refusals are not counted.
  h.clock.setNow(start + 300s);
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "too_many_auth_failures");
  h.clock.setNow(start + 300s + 1ns);
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "passed");

  // The success forgot every failure, so eleven new ones leave the peer under the limit.
  for (int failure = 0; failure < 11; ++failure)
    EXPECT_EQ(h.verify(request(kLANPeer, {}, std::nullopt)), "missing_local_controller_token");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "passed");
}

TEST(LocalControllerAuthenticator, FailureLimit_CountsTheAddressNotTheConnection) {
  Harness h;
  // A new connection, and so a new port, for every guess: the address still runs out.
  for (int failure = 0; failure < 12; ++failure) {
    EXPECT_EQ(h.verify(request("192.168.1.20:" + std::to_string(40000 + failure), {},
                               localToken("00000000"))),
              "invalid_local_pairing_code");
  }
  EXPECT_EQ(h.verify(request("192.168.1.20:50000", {}, localToken())), "too_many_auth_failures");

  // One IPv6 address however it is written: zone, case, zero runs.
  for (const char* peer : {"[FE80::0:1%eth0]:5000", "[fe80::1]:5001", "[fe80:0::1%2]:5002"}) {
    for (int failure = 0; failure < 4; ++failure)
      h.verify(request(peer, {}, localToken("00000000")));
  }
  EXPECT_EQ(h.verify(request("[fe80::1%eth0]:6000", {}, localToken())), "too_many_auth_failures");
  EXPECT_EQ(h.verify(request("[fe80::2%eth0]:6000", {}, localToken())), "passed");
}

TEST(LocalControllerAuthenticator, ForwardingHeaders_NameThePeerOnlyOnLoopbackConnections) {
  Harness h;
  // From the network the headers cannot move the failures elsewhere: each forged value still
  // counts against the connection's address, and the request still counts as proxied.
  for (int failure = 0; failure < 12; ++failure) {
    const Headers forged{{"x-forwarded-for", "198.51.100." + std::to_string(failure)},
                         {"x-forwarded-proto", "https"}};
    EXPECT_EQ(
        h.verify(request("192.168.1.30:" + std::to_string(40000 + failure), forged, localToken())),
        "local_pairing_code_not_allowed_through_proxy");
  }
  EXPECT_EQ(h.verify(request("192.168.1.30:50000", {}, localToken())), "too_many_auth_failures");
  EXPECT_EQ(h.audit.events()[0].remoteAddress, "192.168.1.30");
  EXPECT_EQ(h.audit.events()[0].route, "local-network");

  // A forged mesh address is no mesh peer: web pairing stays closed to it.
  EXPECT_EQ(h.pair(request("192.168.1.31:4000", kMeshHTTPS, std::nullopt, "/v1/web/pair")),
            "web_pairing_requires_local_or_private_mesh_https");
  EXPECT_EQ(h.pair(request("[::1]:6000", kMeshHTTPS, std::nullopt, "/v1/web/pair")), "passed");
}

TEST(LocalControllerAuthenticator, PairingLock_AfterSixtyWrongCodesFromAllPeersForAWindow) {
  Harness h;
  // Five addresses, twelve guesses each, none of them over its own limit... until the sixtieth.
  int guess = 0;
  for (int address = 1; address <= 5; ++address) {
    for (int failure = 0; failure < 12; ++failure, ++guess) {
      const std::string peer = "10.0.0." + std::to_string(address) + ":4000";
      const std::string code = std::to_string(10000000 + guess);
      const std::string refused =
          address % 2 == 0 ? h.pair(request(peer, {}, std::nullopt, "/v1/web/pair"), code)
                           : h.verify(request(peer, {}, localToken(code)));
      EXPECT_EQ(refused,
                address % 2 == 0 ? "invalid_web_pairing_code" : "invalid_local_pairing_code");
    }
  }
  const auto lockedAt = h.clock.now();
  EXPECT_EQ(h.auth.pairingLockedUntil(), lockedAt + 300s);
  EXPECT_EQ(h.verify(request("10.0.0.9:4000", {}, localToken())), "too_many_auth_failures");
  EXPECT_EQ(h.pair(request("10.0.0.9:4000", {}, std::nullopt, "/v1/web/pair")),
            "too_many_auth_failures");
  // Paired browsers carry the direct-access secret, which no code guess can reach.
  EXPECT_EQ(h.verify(request("10.0.0.9:4000", {}, directToken())), "passed");

  const auto isLock = [](const SecurityAuditEvent& event) {
    return event.outcome == "pairing_locked";
  };
  const auto& events = h.audit.events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), isLock), 1);
  const auto lock = std::find_if(events.begin(), events.end(), isLock);
  ASSERT_NE(lock, events.end());
  EXPECT_EQ(lock->detail.value_or("").rfind("Pairing locked until ", 0), 0u);
  const std::string printed = h.diagnostics.str();
  EXPECT_EQ(printed.find("TAVOLIN_LOCAL_NETWORK_PAIRING_LOCKED until="), 0u) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;

  h.clock.setNow(lockedAt + 300s);
  EXPECT_EQ(h.verify(request("10.0.0.9:4000", {}, localToken())), "passed");
}

TEST(LocalControllerAuthenticator, Audit_RecordsEveryRefusalAndProxiedSuccesses) {
  Harness h;
  h.verify(request(kLANPeer, {}, localToken()));
  h.verify(
      request("127.0.0.1:6000", kPublicHTTPS, directToken(), "/v1/controllers/sessions/s/signals"));
  h.verify(request("127.0.0.1:6000", kPublicHTTPS, directToken(), "/v1/controllers/commands/c"));
  EXPECT_TRUE(h.audit.events().empty());

  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken("00000000"))), "invalid_local_pairing_code");
  ASSERT_EQ(h.audit.events().size(), 1u);
  const SecurityAuditEvent& localFailure = h.audit.events()[0];
  EXPECT_EQ(localFailure.outcome, "auth_failed");
  EXPECT_EQ(localFailure.detail, "invalid_local_pairing_code");
  EXPECT_EQ(localFailure.remoteAddress, "192.168.1.20");
  EXPECT_EQ(localFailure.route, "local-network");
  EXPECT_EQ(localFailure.method, "GET");
  EXPECT_EQ(localFailure.path, "/v1/controllers/devices");

  EXPECT_EQ(
      h.verify(request("127.0.0.1:6000", kPublicHTTP, directToken(), "/v1/local/direct-access")),
      "direct_access_requires_https_proxy_or_local_peer");
  ASSERT_EQ(h.audit.events().size(), 2u);
  EXPECT_EQ(h.audit.events()[0].route, "direct-internet");
  EXPECT_EQ(h.audit.events()[0].remoteAddress, "203.0.113.7");

  EXPECT_EQ(h.verify(request("127.0.0.1:6000", kMeshHTTPS, directToken())), "passed");
  ASSERT_EQ(h.audit.events().size(), 3u);
  const SecurityAuditEvent& success = h.audit.events()[0];
  EXPECT_EQ(success.outcome, "authorized");
  EXPECT_EQ(success.detail, "Controller request authorized");
  EXPECT_EQ(success.route, "private-mesh");
  EXPECT_EQ(success.remoteAddress, "100.101.1.2");
  EXPECT_EQ(success.controllerId, LocalControllerAuthenticator::controllerId(kKey));

  for (int failure = 0; failure < 12; ++failure)
    h.verify(request(kLANPeer, {}, std::nullopt));
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "too_many_auth_failures");
  EXPECT_EQ(h.audit.events()[0].outcome, "rate_limited");
  EXPECT_EQ(h.audit.events()[0].detail, "too_many_auth_failures");
  EXPECT_EQ(h.pair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair")), "too_many_auth_failures");
  EXPECT_EQ(h.audit.events()[0].detail, "too_many_web_pairing_failures");
}

TEST(LocalControllerAuthenticator, ChangedKey_IsAnUncountedServerError) {
  Harness h;
  const std::string id = LocalControllerAuthenticator::controllerId(kKey);
  EXPECT_EQ(id.rfind("local-controller-", 0), 0u);
  EXPECT_EQ(id.size(), std::string("local-controller-").size() + 24);
  EXPECT_EQ(id.find(':'), std::string::npos);

  h.tokens.seed(R"({")" + id + R"(":"another-key"})", TavolinTokenKey::pinnedControllerPublicKeys);
  for (int attempt = 0; attempt < 13; ++attempt) {
    try {
      h.auth.verifyController(request("127.0.0.1:6000", kPublicHTTPS, directToken()));
      ADD_FAILURE() << "a changed key passed";
    } catch (const LocalHTTPError& error) {
      EXPECT_EQ(error.kind(), LocalHTTPError::Kind::internalServerError);
      EXPECT_NE(error.code().find("public key changed"), std::string::npos) << error.code();
    }
  }
  EXPECT_TRUE(h.audit.events().empty());
  h.tokens.values.erase(TavolinTokenKey::pinnedControllerPublicKeys);
  EXPECT_EQ(h.verify(request("127.0.0.1:6000", kPublicHTTPS, directToken())), "passed");
  EXPECT_NE(h.tokens.peek(TavolinTokenKey::pinnedControllerPublicKeys)->find(kKey),
            std::string::npos);
}

TEST(LocalControllerAuthenticator, AgentAndMetadataChecks_RefuseWithoutCounting) {
  Harness h;
  const auto agent = [&](std::optional<std::string> authorization) {
    return h.outcome([&] { h.auth.verifyAgent(request(kLANPeer, {}, authorization)); });
  };
  EXPECT_EQ(agent("Bearer agent-token-1"), "passed");
  for (const char* wrong : {"Bearer agent-token-", "Bearer agent-token-12", "bearer agent-token-1",
                            "agent-token-1", "Bearer  agent-token-1"}) {
    EXPECT_EQ(agent(wrong), "invalid_local_agent_token") << wrong;
  }
  EXPECT_EQ(agent(std::nullopt), "invalid_local_agent_token");

  const auto metadata = [&](std::string peer, Headers headers) {
    return h.outcome([&] { h.auth.verifyLocalMetadataPeer(request(peer, headers, std::nullopt)); });
  };
  EXPECT_EQ(metadata(kLANPeer, {}), "passed");
  EXPECT_EQ(metadata("203.0.113.7:4000", {}), "local_device_metadata_not_allowed_from_public_peer");
  EXPECT_EQ(metadata("127.0.0.1:6000", kMeshHTTPS),
            "local_device_metadata_not_allowed_from_public_peer");

  for (int attempt = 0; attempt < 12; ++attempt) {
    agent(std::nullopt);
    metadata(kLANPeer, kPublicHTTPS);
  }
  EXPECT_EQ(h.verify(request(kLANPeer, {}, localToken())), "passed");
  EXPECT_TRUE(h.audit.events().empty());
}

TEST(LocalControllerAuthenticator, WebPair_FromLocalOrMeshHTTPSWithTheCode) {
  Harness h;
  const auto pairing =
      h.auth.webPair(request("127.0.0.1:6000", kMeshHTTPS, std::nullopt, "/v1/web/pair"),
                     {.pairingCode = kCode, .publicKey = kKey});
  EXPECT_EQ(pairing.routeName, "private-mesh");
  EXPECT_EQ(pairing.controllerId, LocalControllerAuthenticator::controllerId(kKey));
  ASSERT_EQ(h.audit.events().size(), 1u);
  EXPECT_EQ(h.audit.events()[0].outcome, "web_paired");
  EXPECT_EQ(h.audit.events()[0].detail, "Browser controller paired for private web console");
  EXPECT_EQ(h.audit.events()[0].route, "private-mesh");
  EXPECT_EQ(h.audit.events()[0].path, "/v1/web/pair");

  EXPECT_EQ(h.auth
                .webPair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair"),
                         {.pairingCode = kCode, .publicKey = kKey})
                .routeName,
            "local-network");
  EXPECT_EQ(h.pair(request("127.0.0.1:6000", kPublicHTTPS, std::nullopt, "/v1/web/pair")),
            "web_pairing_requires_local_or_private_mesh_https");
  EXPECT_EQ(h.pair(request("127.0.0.1:6000",
                           {{"x-forwarded-for", "100.101.1.2"}, {"x-forwarded-proto", "http"}},
                           std::nullopt, "/v1/web/pair")),
            "web_pairing_requires_local_or_private_mesh_https");
  EXPECT_EQ(h.pair(request("203.0.113.7:4000", {}, std::nullopt, "/v1/web/pair")),
            "web_pairing_requires_local_or_private_mesh_https");
  EXPECT_EQ(h.pair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair"), "4821300"),
            "invalid_web_pairing_code");
  EXPECT_EQ(h.pair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair"), ""),
            "invalid_web_pairing_code");
}

TEST(LocalControllerAuthenticator, WebPair_WithoutALoadedCodePairsNothing) {
  Harness h;
  testing::FlakyTokenStore tokens;
  LocalControllerAuthenticator fresh{tokens, h.audit, h.clock, "agent"};
  EXPECT_EQ(fresh.pairingCode(), std::nullopt);
  EXPECT_EQ(h.outcome([&] {
    fresh.webPair(request(kLANPeer, {}, std::nullopt, "/v1/web/pair"),
                  {.pairingCode = "", .publicKey = kKey});
  }),
            "invalid_web_pairing_code");
  EXPECT_EQ(h.outcome([&] { fresh.verifyController(request(kLANPeer, {}, localToken())); }),
            "invalid_local_pairing_code");
}

TEST(LocalControllerAuthenticator, PairingCode_KeepsEightDigitsAndReplacesAnythingElse) {
  Harness h;
  EXPECT_EQ(h.auth.localPairingCode(), kCode);
  EXPECT_EQ(h.auth.pairingCode(), kCode);

  std::vector<std::string> drawn;
  for (const char* stored : {"1234567", "123456789", "1234567a", " 12345678", ""}) {
    h.tokens.seed(stored, TavolinTokenKey::localPairingCode);
    const std::string code = h.auth.localPairingCode();
    EXPECT_EQ(code.size(), 8u) << stored;
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
    EXPECT_EQ(h.tokens.peek(TavolinTokenKey::localPairingCode), code);
    EXPECT_EQ(h.auth.pairingCode(), code);
    drawn.push_back(code);
  }
  h.tokens.values.erase(TavolinTokenKey::localPairingCode);
  drawn.push_back(h.auth.localPairingCode());
  EXPECT_EQ(h.tokens.peek(TavolinTokenKey::localPairingCode), drawn.back());
  std::sort(drawn.begin(), drawn.end());
  EXPECT_EQ(std::unique(drawn.begin(), drawn.end()), drawn.end());

  h.tokens.failRead = true;
  EXPECT_THROW(h.auth.localPairingCode(), TokenStoreError);
}

TEST(LocalControllerAuthenticator, DirectAccessSecret_NeedsFortyThreeBase64URLCharacters) {
  Harness h;
  EXPECT_EQ(h.auth.directAccessSecretIfPresent(), kSecret);
  EXPECT_EQ(h.auth.directAccessSecret(), kSecret);
  const std::string longer = std::string(kSecret) + "-_";
  h.tokens.seed(longer, TavolinTokenKey::directAccessSecret);
  EXPECT_EQ(h.auth.directAccessSecret(), longer);

  for (const std::string& stored : {std::string(42, 'A'), std::string(42, 'A') + "=",
                                    std::string(42, 'A') + "+", std::string(42, 'A') + "\n"}) {
    h.tokens.seed(stored, TavolinTokenKey::directAccessSecret);
    EXPECT_EQ(h.auth.directAccessSecretIfPresent(), std::nullopt) << stored;
    const std::string secret = h.auth.directAccessSecret();
    EXPECT_EQ(secret.size(), 43u);
    EXPECT_EQ(secret.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(h.tokens.peek(TavolinTokenKey::directAccessSecret), secret);
    EXPECT_EQ(h.auth.directAccessSecretIfPresent(), secret);
  }

  const std::string before = h.auth.directAccessSecret();
  const std::string rotated = h.auth.rotateDirectAccessSecret();
  EXPECT_NE(rotated, before);
  EXPECT_EQ(h.auth.directAccessSecret(), rotated);
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken(before))), "invalid_direct_access_token");
  EXPECT_EQ(h.verify(request(kLANPeer, {}, directToken(rotated))), "passed");
}

}  // namespace
}  // namespace tavolin
