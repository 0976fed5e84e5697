#include "TavolinCore/Security/TokenStore.hpp"

#include "TavolinCore/Foundation/RawValues.hpp"

namespace tavolin {

namespace {

// The raw value is the case name.
constexpr RawValueTable<TavolinTokenKey, 9> rawValues{{
    {TavolinTokenKey::ownerToken, "ownerToken"},
    {TavolinTokenKey::controllerToken, "controllerToken"},
    {TavolinTokenKey::authSessionToken, "authSessionToken"},
    {TavolinTokenKey::agentToken, "agentToken"},
    {TavolinTokenKey::devicePrivateKey, "devicePrivateKey"},
    {TavolinTokenKey::pinnedDevicePublicKeys, "pinnedDevicePublicKeys"},
    {TavolinTokenKey::pinnedControllerPublicKeys, "pinnedControllerPublicKeys"},
    {TavolinTokenKey::localPairingCode, "localPairingCode"},
    {TavolinTokenKey::directAccessSecret, "directAccessSecret"},
}};
static_assert(listsCases(rawValues, TavolinTokenKeys::allCases));

}  // namespace

std::string_view TavolinTokenKeys::rawValue(TavolinTokenKey key) {
  return rawValueIn(rawValues, key);
}

TokenStoreError TokenStoreError::unexpectedStatus(std::int32_t status) {
  return TokenStoreError(Kind::unexpectedStatus, status,
                         "Keychain operation failed with status " + std::to_string(status) + ".");
}

TokenStoreError TokenStoreError::invalidData() {
  return TokenStoreError(Kind::invalidData, 0, "The stored keychain value is not valid UTF-8.");
}

}  // namespace tavolin
