#pragma once

// The device's long-term P-256 key. It signs as the device identity and is also the agent's
// half of every session key agreement. Stored under `devicePrivateKey` as the base64url text of
// the 32-byte scalar.

#include <string>

#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

class DeviceIdentity {
 public:
  explicit DeviceIdentity(P256PrivateKey privateKey);

  // Loads the stored key. A missing or unusable value (not Base64, not a valid scalar) is
  // replaced by a new key without warning, which changes the public key controllers pinned.
  // Store errors are thrown, and a key that could not be written is not returned.
  static DeviceIdentity loadOrCreate(TokenStore& store);

  const P256PrivateKey& privateKey() const { return privateKey_; }
  // Raw X ‖ Y (64 bytes) in base64url without padding: the key sent at enrolment.
  const std::string& publicKeyBase64URL() const { return publicKeyBase64URL_; }
  // The pinning fingerprint of publicKeyBase64URL(), as controllers display it.
  std::string fingerprint() const;

 private:
  P256PrivateKey privateKey_;
  std::string publicKeyBase64URL_;
};

}  // namespace tavolin
