#pragma once

#include <optional>
#include <string>
#include <utility>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin::testing {

// A controller with its own key pair, sealing commands for the agent the way the wire expects.
class SealingController {
 public:
  explicit SealingController(std::string agentPublicKey)
      : agentPublicKey_(std::move(agentPublicKey)) {}

  std::string publicKey() const { return base64URLEncode(key_.publicKey().rawRepresentation()); }

  JSONObject seal(const std::string& plaintext, const std::string& sealedForSession) const {
    // The key agreement is the slow part; a session's key is derived once, as controllers do.
    if (!sessionCrypto_ || sessionCrypto_->first != sealedForSession) {
      sessionCrypto_.emplace(sealedForSession,
                             TavolinSessionCommandCrypto(key_, agentPublicKey_, sealedForSession));
    }
    const Bytes sealed = sessionCrypto_->second.encrypt(byteSpan(plaintext));
    return {{"encryption", "p256-hkdf-sha256-aes-gcm"},
            {"contentFormat", "tavolin-command-v1+json"},
            {"senderPublicKey", publicKey()},
            {"commandBase64", base64Encode(sealed)},
            {"byteLength", static_cast<double>(sealed.size())}};
  }

  JSONObject seal(const TavolinPlainCommandEnvelope& envelope) const {
    return seal(encodeJSON(envelope), envelope.sessionId.value_or("S"));
  }

 private:
  P256PrivateKey key_ = P256PrivateKey::generate();
  std::string agentPublicKey_;
  mutable std::optional<std::pair<std::string, TavolinSessionCommandCrypto>> sessionCrypto_;
};

}  // namespace tavolin::testing
