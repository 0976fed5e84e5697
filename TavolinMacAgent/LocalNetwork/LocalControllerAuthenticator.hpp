#pragma once

// Guards the local control plane's routes: checks the controller token of every request (the
// eight-digit local pairing code or the direct-access secret, each bound to the controller's
// pinned public key), counts failures per peer address, limits wrong pairing codes across all
// peers, pairs browsers and keeps the two secrets.
//
// Confined to the main thread: the local control plane owns one instance and calls it from its
// routes. Every refusal is a LocalHTTPError and is written to the audit store, which folds
// repeats from one address into one event. Token store failures pass through unchanged.

#include <chrono>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/WebPairRecords.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Security/TavolinKeyPinning.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalHTTP.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

namespace tavolin {

// The credential of one request, parsed and then verified.
struct LocalControllerAuth {
  enum class Kind { localPairing, directAccess };

  Kind kind = Kind::localPairing;
  std::string credential{};  // the pairing code or direct-access secret as presented
  std::string publicKey{};   // Base64URL, as the controller sent it
  std::string remoteAddress = "unknown";
  std::string routeName = "local-network";

  friend bool operator==(const LocalControllerAuth&, const LocalControllerAuth&) = default;
};

namespace LocalControllerToken {

// "local" or "direct", then "v1", the credential and the public key, joined by "."; exactly four
// pieces and none of the last two empty. The result is not yet verified.
std::optional<LocalControllerAuth> parse(std::string_view token);

}  // namespace LocalControllerToken

// What a successful web pairing hands back to the route that answers it.
struct WebPairing {
  std::string controllerId;
  std::string routeName;
};

class LocalControllerAuthenticator {
 public:
  static constexpr std::chrono::seconds failureWindow{300};
  static constexpr std::size_t failureLimit = 12;
  // Wrong pairing codes from all peers together within failureWindow before pairing locks for a
  // whole window. At 60 guesses per 300 s the 10^8 codes take 15.8 years to exhaust, however
  // many addresses the guesses come from.
  static constexpr std::size_t pairingFailureLimit = 60;

  // `tokenStore`, `auditStore` and `clock` must outlive the authenticator, and so must
  // `diagnostics` when given: it hears one line whenever pairing locks. `localAgentToken` is the
  // bearer token of the agent's own publishers.
  LocalControllerAuthenticator(TokenStore& tokenStore, SecurityAuditStore& auditStore,
                               const Clock& clock, std::string localAgentToken,
                               std::ostream* diagnostics = nullptr);

  LocalControllerAuthenticator(const LocalControllerAuthenticator&) = delete;
  LocalControllerAuthenticator& operator=(const LocalControllerAuthenticator&) = delete;

  // The verified credential, with the peer and route filled in. Refuses a peer with too many
  // recent failures before looking at its token. A key that differs from the controller's pinned
  // one is an internalServerError carrying the pinning error's description and is not counted.
  LocalControllerAuth verifyController(const LocalHTTPRequest& request);

  // Refuses unless the request carries the local agent token. Not counted.
  void verifyAgent(const LocalHTTPRequest& request) const;

  // Refuses unless the request came straight from a local peer. Not counted.
  void verifyLocalMetadataPeer(const LocalHTTPRequest& request) const;

  // Pairs a browser that presents the pairing code over the local network or private-mesh
  // HTTPS, pinning its key as verifyController does.
  WebPairing webPair(const LocalHTTPRequest& request, const WebPairRequest& payload);

  // Refuses (not counted) a peer whose address has `failureLimit` failures in the last
  // `failureWindow`.
  void verifyAuthRateLimit(const std::string& peer);
  // Counts a failure against the peer's address and audits it.
  void recordAuthFailure(const std::string& peer, const LocalHTTPRequest& request,
                         std::string_view reason);

  // Until when pairing-code checks are refused, after `pairingFailureLimit` wrong codes.
  std::optional<Date> pairingLockedUntil() const;

  // The stored code when it is eight digits, else a new uniformly random one, stored. Either way
  // it becomes the code requests are checked against.
  std::string localPairingCode();
  // The code requests are checked against; none before localPairingCode() ran.
  const std::optional<std::string>& pairingCode() const { return pairingCode_; }

  // The stored secret when it is at least 43 Base64URL characters.
  std::optional<std::string> directAccessSecretIfPresent();
  // The valid stored secret, or a new one.
  std::string directAccessSecret();
  // 32 secure random bytes in Base64URL, stored in place of the old secret. A failure of the
  // random source is a TokenStoreError::unexpectedStatus.
  std::string rotateDirectAccessSecret();

  // "local-controller-" and the key's fingerprint without ":".
  static std::string controllerId(std::string_view publicKey);

 private:
  using Failures = std::vector<Date>;

  [[noreturn]] void refuse(const std::string& peer, const LocalHTTPRequest& request,
                           std::string_view reason);
  // Compares a presented pairing code, refusing while pairing is locked and counting a wrong
  // code toward the lock.
  void verifyPairingCode(std::string_view presented, const std::string& peer,
                         const LocalHTTPRequest& request, std::string_view reason);
  void pruneFailures(Failures& failures) const;
  void forgetIdlePeers();
  std::string trustController(std::string_view publicKey);
  void audit(const std::string& peer, const LocalHTTPRequest& request, std::string_view outcome,
             std::string_view detail, std::optional<std::string_view> controllerId = std::nullopt);

  TokenStore& tokenStore_;
  TavolinKeyPinning keyPinning_;
  SecurityAuditStore& auditStore_;
  const Clock& clock_;
  std::string localAgentToken_;
  std::optional<std::string> pairingCode_;
  std::ostream* diagnostics_;
  std::unordered_map<std::string, Failures> authFailuresByPeer_;
  std::size_t peersAfterLastSweep_ = 0;
  Failures pairingFailures_;
  std::optional<Date> pairingLockedUntil_;
};

}  // namespace tavolin
