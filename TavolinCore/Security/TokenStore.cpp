#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

std::string_view TavolinTokenKeys::rawValue(TavolinTokenKey key) {
  switch (key) {
    case TavolinTokenKey::ownerToken:
      return "ownerToken";
    case TavolinTokenKey::controllerToken:
      return "controllerToken";
    case TavolinTokenKey::authSessionToken:
      return "authSessionToken";
    case TavolinTokenKey::agentToken:
      return "agentToken";
    case TavolinTokenKey::devicePrivateKey:
      return "devicePrivateKey";
    case TavolinTokenKey::pinnedDevicePublicKeys:
      return "pinnedDevicePublicKeys";
    case TavolinTokenKey::pinnedControllerPublicKeys:
      return "pinnedControllerPublicKeys";
    case TavolinTokenKey::localPairingCode:
      return "localPairingCode";
    case TavolinTokenKey::directAccessSecret:
      return "directAccessSecret";
  }
  return {};
}

TokenStoreError TokenStoreError::unexpectedStatus(std::int32_t status) {
  return TokenStoreError(Kind::unexpectedStatus, status,
                         "Keychain operation failed with status " + std::to_string(status) + ".");
}

TokenStoreError TokenStoreError::invalidData() {
  return TokenStoreError(Kind::invalidData, 0, "The stored keychain value is not valid UTF-8.");
}

}  // namespace tavolin
