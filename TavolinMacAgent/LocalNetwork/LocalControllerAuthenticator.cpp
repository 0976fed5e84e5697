#include "TavolinMacAgent/LocalNetwork/LocalControllerAuthenticator.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <utility>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Security/PairingCode.hpp"
#include "TavolinCore/Security/SecureItemStore.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

namespace tavolin {

namespace {

constexpr std::string_view kTooManyAuthFailures = "too_many_auth_failures";
constexpr std::string_view kBearerPrefix = "Bearer ";
constexpr std::string_view kSecurityPathPrefix = "/v1/controllers/security/";
constexpr std::string_view kControllerPathPrefix = "/v1/controllers/";
// Routes polled many times a second; a success there says nothing worth keeping.
constexpr std::array<std::string_view, 3> kHighFrequencyPathParts{"/signals", "/screen/latest",
                                                                  "/commands"};
constexpr std::size_t kDirectAccessSecretBytes = 32;
constexpr std::size_t kMinimumDirectAccessSecretLength = 43;
// Below this many peers the failure table is never swept.
constexpr std::size_t kSweepFloor = 64;

bool isForwarded(const LocalHTTPRequest& request) {
  return request.header("x-forwarded-for") != nullptr;
}

bool shouldAuditControllerSuccess(const LocalHTTPRequest& request) {
  return request.path.starts_with(kControllerPathPrefix) &&
         std::none_of(
             kHighFrequencyPathParts.begin(), kHighFrequencyPathParts.end(),
             [&](std::string_view part) { return request.path.find(part) != std::string::npos; }) &&
         isForwarded(request);
}

std::optional<std::string_view> bearerToken(const LocalHTTPRequest& request) {
  const std::string* authorization = request.header("authorization");
  if (authorization == nullptr || !authorization->starts_with(kBearerPrefix))
    return std::nullopt;
  return std::string_view(*authorization).substr(kBearerPrefix.size());
}

bool isDirectAccessSecret(std::string_view text) {
  return text.size() >= kMinimumDirectAccessSecretLength &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
         });
}

// Runs a draw from the platform's secure random source; its failure is reported the way a
// keychain failure is.
template <class Draw>
auto drawnForStore(Draw draw) {
  try {
    return draw();
  } catch (const CryptoError&) {
    throw TokenStoreError::unexpectedStatus(SecureItemStatus::internalError);
  }
}

}  // namespace

namespace LocalControllerToken {

std::optional<LocalControllerAuth> parse(std::string_view token) {
  if (std::count(token.begin(), token.end(), '.') != 3)
    return std::nullopt;
  const std::size_t first = token.find('.');
  const std::size_t second = token.find('.', first + 1);
  const std::size_t third = token.find('.', second + 1);
  const std::string_view kindWord = token.substr(0, first);
  const std::string_view version = token.substr(first + 1, second - first - 1);
  const std::string_view credential = token.substr(second + 1, third - second - 1);
  const std::string_view publicKey = token.substr(third + 1);

  LocalControllerAuth auth;
  if (kindWord == "local") {
    auth.kind = LocalControllerAuth::Kind::localPairing;
  } else if (kindWord == "direct") {
    auth.kind = LocalControllerAuth::Kind::directAccess;
  } else {
    return std::nullopt;
  }
  if (version != "v1" || credential.empty() || publicKey.empty())
    return std::nullopt;
  auth.credential = credential;
  auth.publicKey = publicKey;
  return auth;
}

}  // namespace LocalControllerToken

LocalControllerAuthenticator::LocalControllerAuthenticator(TokenStore& tokenStore,
                                                           SecurityAuditStore& auditStore,
                                                           const Clock& clock,
                                                           std::string localAgentToken,
                                                           std::ostream* diagnostics)
    : tokenStore_(tokenStore),
      keyPinning_(tokenStore),
      auditStore_(auditStore),
      clock_(clock),
      localAgentToken_(std::move(localAgentToken)),
      diagnostics_(diagnostics) {}

LocalControllerAuth LocalControllerAuthenticator::verifyController(
    const LocalHTTPRequest& request) {
  const std::string peer = authPeerIdentifier(request);
  try {
    verifyAuthRateLimit(peer);
  } catch (const LocalHTTPError&) {
    audit(peer, request, "rate_limited", kTooManyAuthFailures);
    throw;
  }

  const auto token = bearerToken(request);
  auto auth = token ? LocalControllerToken::parse(*token) : std::nullopt;
  if (!auth)
    refuse(peer, request, "missing_local_controller_token");
  auth->routeName = routeName(request);
  auth->remoteAddress = peer;

  if (auth->kind == LocalControllerAuth::Kind::localPairing) {
    if (isForwarded(request))
      refuse(peer, request, "local_pairing_code_not_allowed_through_proxy");
    if (!isLocalPairingPeer(request.remotePeer))
      refuse(peer, request, "local_pairing_code_not_allowed_from_public_peer");
    verifyPairingCode(auth->credential, peer, request, "invalid_local_pairing_code");
  } else {
    if (!isTrustedDirectAccessTransport(request))
      refuse(peer, request, "direct_access_requires_https_proxy_or_local_peer");
    const auto secret = directAccessSecretIfPresent();
    if (!secret || !constantTimeEqual(auth->credential, *secret))
      refuse(peer, request, "invalid_direct_access_token");
  }

  const std::string controller = trustController(auth->publicKey);
  authFailuresByPeer_.erase(peerAddress(peer));
  if (shouldAuditControllerSuccess(request))
    audit(peer, request, "authorized", "Controller request authorized", controller);
  return std::move(*auth);
}

void LocalControllerAuthenticator::verifyAgent(const LocalHTTPRequest& request) const {
  const auto token = bearerToken(request);
  if (!token || !constantTimeEqual(*token, localAgentToken_))
    throw LocalHTTPError::unauthorized("invalid_local_agent_token");
}

void LocalControllerAuthenticator::verifyLocalMetadataPeer(const LocalHTTPRequest& request) const {
  if (!isDirectLocalRequest(request))
    throw LocalHTTPError::unauthorized("local_device_metadata_not_allowed_from_public_peer");
}

WebPairing LocalControllerAuthenticator::webPair(const LocalHTTPRequest& request,
                                                 const WebPairRequest& payload) {
  const std::string peer = authPeerIdentifier(request);
  try {
    verifyAuthRateLimit(peer);
  } catch (const LocalHTTPError&) {
    audit(peer, request, "rate_limited", "too_many_web_pairing_failures");
    throw;
  }
  if (!isTrustedWebPairingTransport(request))
    refuse(peer, request, "web_pairing_requires_local_or_private_mesh_https");
  verifyPairingCode(payload.pairingCode, peer, request, "invalid_web_pairing_code");

  WebPairing pairing{.controllerId = trustController(payload.publicKey),
                     .routeName = std::string(routeName(request))};
  authFailuresByPeer_.erase(peerAddress(peer));
  audit(peer, request, "web_paired", "Browser controller paired for private web console",
        pairing.controllerId);
  return pairing;
}

void LocalControllerAuthenticator::verifyAuthRateLimit(const std::string& peer) {
  const auto entry = authFailuresByPeer_.find(peerAddress(peer));
  if (entry == authFailuresByPeer_.end())
    return;
  pruneFailures(entry->second);
  if (entry->second.size() >= failureLimit)
    throw LocalHTTPError::unauthorized(std::string(kTooManyAuthFailures));
}

void LocalControllerAuthenticator::recordAuthFailure(const std::string& peer,
                                                     const LocalHTTPRequest& request,
                                                     std::string_view reason) {
  forgetIdlePeers();
  Failures& failures = authFailuresByPeer_[peerAddress(peer)];
  pruneFailures(failures);
  failures.push_back(clock_.now());
  audit(peer, request, "auth_failed", reason);
}

std::optional<Date> LocalControllerAuthenticator::pairingLockedUntil() const {
  if (pairingLockedUntil_ && clock_.now() < *pairingLockedUntil_)
    return pairingLockedUntil_;
  return std::nullopt;
}

void LocalControllerAuthenticator::verifyPairingCode(std::string_view presented,
                                                     const std::string& peer,
                                                     const LocalHTTPRequest& request,
                                                     std::string_view reason) {
  // While locked even the right code is refused: a guess that could succeed is still a guess.
  if (pairingLockedUntil())
    throw LocalHTTPError::unauthorized(std::string(kTooManyAuthFailures));
  // Without a loaded code nothing pairs, not even an empty code.
  if (pairingCode_ && constantTimeEqual(presented, *pairingCode_))
    return;
  pruneFailures(pairingFailures_);
  pairingFailures_.push_back(clock_.now());
  if (pairingFailures_.size() >= pairingFailureLimit) {
    pairingFailures_.clear();
    pairingLockedUntil_ = clock_.now() + failureWindow;
    const std::string until = TavolinISO8601::string(*pairingLockedUntil_);
    audit(peer, request, SecurityOutcome::pairingLocked,
          "Pairing locked until " + until + " after " + std::to_string(pairingFailureLimit) +
              " wrong pairing codes");
    if (diagnostics_) {
      *diagnostics_ << "TAVOLIN_LOCAL_NETWORK_PAIRING_LOCKED until=" << until
                    << " failures=" << pairingFailureLimit << " window=" << failureWindow.count()
                    << "s" << std::endl;
    }
  }
  refuse(peer, request, reason);
}

std::string LocalControllerAuthenticator::localPairingCode() {
  if (auto stored = tokenStore_.read(TavolinTokenKey::localPairingCode);
      stored && isPairingCode(*stored)) {
    pairingCode_ = std::move(stored);
    return *pairingCode_;
  }
  std::string code = drawnForStore(makePairingCode);
  tokenStore_.write(code, TavolinTokenKey::localPairingCode);
  pairingCode_ = std::move(code);
  return *pairingCode_;
}

std::optional<std::string> LocalControllerAuthenticator::directAccessSecretIfPresent() {
  auto stored = tokenStore_.read(TavolinTokenKey::directAccessSecret);
  if (stored && isDirectAccessSecret(*stored))
    return stored;
  return std::nullopt;
}

std::string LocalControllerAuthenticator::directAccessSecret() {
  if (auto secret = directAccessSecretIfPresent())
    return std::move(*secret);
  return rotateDirectAccessSecret();
}

std::string LocalControllerAuthenticator::rotateDirectAccessSecret() {
  SecretBytes<kDirectAccessSecretBytes> bytes;
  drawnForStore([&] { fillSecureRandom(bytes.mutableBytes()); });
  std::string secret = base64URLEncode(bytes.bytes());
  tokenStore_.write(secret, TavolinTokenKey::directAccessSecret);
  return secret;
}

std::string LocalControllerAuthenticator::controllerId(std::string_view publicKey) {
  std::string fingerprint = TavolinKeyPinning::fingerprint(publicKey);
  std::erase(fingerprint, ':');
  return "local-controller-" + fingerprint;
}

void LocalControllerAuthenticator::refuse(const std::string& peer, const LocalHTTPRequest& request,
                                          std::string_view reason) {
  recordAuthFailure(peer, request, reason);
  throw LocalHTTPError::unauthorized(std::string(reason));
}

// A failure exactly at the cut-off still counts.
void LocalControllerAuthenticator::pruneFailures(Failures& failures) const {
  const Date cutoff = clock_.now() - failureWindow;
  std::erase_if(failures, [&](Date failedAt) { return failedAt < cutoff; });
}

// A client may bring a new address with every failure (an IPv6 host has plenty of them, and a
// proxy passes on the address it saw), so the table may grow with each one. Dropping
// peers whose failures have all aged out whenever the table has doubled keeps it to the peers
// seen within the window, at a constant cost per failure on average.
void LocalControllerAuthenticator::forgetIdlePeers() {
  if (authFailuresByPeer_.size() < std::max(kSweepFloor, 2 * peersAfterLastSweep_))
    return;
  for (auto entry = authFailuresByPeer_.begin(); entry != authFailuresByPeer_.end();) {
    pruneFailures(entry->second);
    entry = entry->second.empty() ? authFailuresByPeer_.erase(entry) : std::next(entry);
  }
  peersAfterLastSweep_ = authFailuresByPeer_.size();
}

std::string LocalControllerAuthenticator::trustController(std::string_view publicKey) {
  std::string id = controllerId(publicKey);
  try {
    keyPinning_.verifyOrTrustController(id, publicKey);
  } catch (const TavolinKeyPinningError& error) {
    throw LocalHTTPError::internalServerError(error.description());
  }
  return id;
}

void LocalControllerAuthenticator::audit(const std::string& peer, const LocalHTTPRequest& request,
                                         std::string_view outcome, std::string_view detail,
                                         std::optional<std::string_view> controllerId) {
  auditStore_.record({.remoteAddress = peer,
                      .route = routeName(request),
                      .method = request.method,
                      .path = request.path,
                      .outcome = outcome,
                      .detail = detail,
                      .controllerId = controllerId});
}

}  // namespace tavolin
