#pragma once

// Trust on first use of peer public keys. The first key a device or controller presents is
// pinned; a later different key is refused until the pin is removed from the store. Pins live
// in the token store as a JSON object from peer id to the key text exactly as presented.
// No locking: two concurrent first-time pins can lose one of them.

#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

struct TavolinKeyPinningResult {
  enum class Kind { alreadyTrusted, newlyTrusted };

  Kind kind;
  std::string fingerprint;

  static TavolinKeyPinningResult alreadyTrusted(std::string fingerprint) {
    return {Kind::alreadyTrusted, std::move(fingerprint)};
  }
  static TavolinKeyPinningResult newlyTrusted(std::string fingerprint) {
    return {Kind::newlyTrusted, std::move(fingerprint)};
  }

  friend bool operator==(const TavolinKeyPinningResult&, const TavolinKeyPinningResult&) = default;
};

class TavolinKeyPinningError : public TavolinError {
 public:
  enum class Kind { missingPublicKey, publicKeyChanged };

  static TavolinKeyPinningError missingPublicKey(std::string peerId);
  static TavolinKeyPinningError publicKeyChanged(std::string peerId,
                                                 std::string expectedFingerprint,
                                                 std::string actualFingerprint);

  Kind kind() const { return kind_; }
  const std::string& peerId() const { return peerId_; }
  // Empty for missingPublicKey.
  const std::string& expectedFingerprint() const { return expectedFingerprint_; }
  const std::string& actualFingerprint() const { return actualFingerprint_; }

 private:
  TavolinKeyPinningError(Kind kind, std::string description, std::string peerId,
                         std::string expectedFingerprint, std::string actualFingerprint);

  Kind kind_;
  std::string peerId_;
  std::string expectedFingerprint_;
  std::string actualFingerprint_;
};

class TavolinKeyPinning {
 public:
  // The store must outlive this object.
  explicit TavolinKeyPinning(TokenStore& store) : store_(store) {}

  // Pins the key on first sight, confirms it afterwards. Throws TavolinKeyPinningError for an
  // absent or blank key and for a key that differs from the pin (the pin is kept); store and
  // JSON errors of the pin map pass through.
  TavolinKeyPinningResult verifyOrTrustDevice(std::string_view deviceId,
                                              std::optional<std::string_view> publicKey);
  TavolinKeyPinningResult verifyOrTrustController(std::string_view controllerId,
                                                  std::optional<std::string_view> publicKey);

  // The first 12 bytes of SHA-256 of the key text as lower-case hex pairs joined by ":"
  // (always 35 characters).
  static std::string fingerprint(std::string_view publicKey);

 private:
  TavolinKeyPinningResult verifyOrTrust(TavolinTokenKey storeKey, std::string_view peerId,
                                        std::optional<std::string_view> publicKey);

  TokenStore& store_;
};

}  // namespace tavolin
