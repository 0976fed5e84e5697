#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

// The closed set of stored secrets and trust records. The raw value (the case name) is the
// keychain account and, with ".txt", the file name of the file store.
enum class TavolinTokenKey {
  ownerToken,
  controllerToken,
  authSessionToken,
  agentToken,
  devicePrivateKey,
  pinnedDevicePublicKeys,
  pinnedControllerPublicKeys,
  localPairingCode,
  directAccessSecret,
};

namespace TavolinTokenKeys {

inline constexpr std::array<TavolinTokenKey, 9> allCases{
    TavolinTokenKey::ownerToken,
    TavolinTokenKey::controllerToken,
    TavolinTokenKey::authSessionToken,
    TavolinTokenKey::agentToken,
    TavolinTokenKey::devicePrivateKey,
    TavolinTokenKey::pinnedDevicePublicKeys,
    TavolinTokenKey::pinnedControllerPublicKeys,
    TavolinTokenKey::localPairingCode,
    TavolinTokenKey::directAccessSecret};

std::string_view rawValue(TavolinTokenKey key);

}  // namespace TavolinTokenKeys

// Errors of the keychain store.
class TokenStoreError : public TavolinError {
 public:
  enum class Kind { unexpectedStatus, invalidData };

  static TokenStoreError unexpectedStatus(std::int32_t status);
  static TokenStoreError invalidData();

  Kind kind() const { return kind_; }
  std::int32_t status() const { return status_; }

 private:
  TokenStoreError(Kind kind, std::int32_t status, std::string description)
      : TavolinError(std::move(description)), kind_(kind), status_(status) {}

  Kind kind_;
  std::int32_t status_;
};

// Key-value store of tokens, keys, pins, the local pairing code and the direct-access secret.
// Callers hold it by interface and share it by reference; every implementation is safe to call
// from any thread. Each operation may throw (TokenStoreError, std::filesystem::filesystem_error).
class TokenStore {
 public:
  virtual ~TokenStore() = default;

  // The stored text, or nothing when nothing is stored.
  virtual std::optional<std::string> read(TavolinTokenKey key) = 0;
  // Stores or replaces.
  virtual void write(std::string_view value, TavolinTokenKey key) = 0;
  // Removes; removing a missing entry is not an error.
  virtual void remove(TavolinTokenKey key) = 0;
};

}  // namespace tavolin
