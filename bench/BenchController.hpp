#pragma once

#include <string>
#include <string_view>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin::bench {

// A controller of one session with a key pair of its own, sealing commands for the agent the
// way the web console does: the session's command key is derived once, and every command is
// sealed under a fresh nonce.
class BenchController {
 public:
  BenchController(std::string_view agentPublicKey, std::string sessionId)
      : sessionId_(std::move(sessionId)), crypto_(key_, agentPublicKey, sessionId_) {}

  const std::string& sessionId() const { return sessionId_; }
  const TavolinSessionCommandCrypto& crypto() const { return crypto_; }

  // The "encrypted_command" payload carrying `plaintext`.
  JSONObject seal(std::string_view plaintext) const {
    const Bytes sealed = crypto_.encrypt(byteSpan(plaintext));
    return {{"encryption", TavolinSessionCrypto::commandEncryption},
            {"contentFormat", TavolinSessionCrypto::commandContentFormat},
            {"senderPublicKey", publicKey_},
            {"commandBase64", base64Encode(sealed)},
            {"byteLength", static_cast<double>(sealed.size())}};
  }

 private:
  P256PrivateKey key_ = P256PrivateKey::generate();
  std::string publicKey_ = base64URLEncode(key_.publicKey().rawRepresentation());
  std::string sessionId_;
  TavolinSessionCommandCrypto crypto_;
};

}  // namespace tavolin::bench
