#include "TavolinCore/Security/DeviceIdentity.hpp"

#include <optional>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Security/TavolinKeyPinning.hpp"

namespace tavolin {
namespace {

std::optional<P256PrivateKey> decodeStoredKey(const std::string& text) {
  std::optional<Bytes> scalar = base64URLDecode(text);
  if (!scalar) {
    return std::nullopt;
  }
  std::optional<P256PrivateKey> key;
  try {
    key = P256PrivateKey::fromRawRepresentation(*scalar);
  } catch (const CryptoError&) {
  }
  crypto_detail::cleanse(scalar->data(), scalar->size());
  return key;
}

}  // namespace

DeviceIdentity::DeviceIdentity(P256PrivateKey privateKey)
    : privateKey_(std::move(privateKey)),
      publicKeyBase64URL_(base64URLEncode(privateKey_.publicKey().rawRepresentation())) {}

DeviceIdentity DeviceIdentity::loadOrCreate(TokenStore& store) {
  if (const std::optional<std::string> stored = store.read(TavolinTokenKey::devicePrivateKey)) {
    if (std::optional<P256PrivateKey> key = decodeStoredKey(*stored)) {
      return DeviceIdentity(std::move(*key));
    }
  }
  P256PrivateKey key = P256PrivateKey::generate();
  std::string encoded = base64URLEncode(key.rawRepresentation().bytes());
  store.write(encoded, TavolinTokenKey::devicePrivateKey);
  crypto_detail::cleanse(encoded.data(), encoded.size());
  return DeviceIdentity(std::move(key));
}

std::string DeviceIdentity::fingerprint() const {
  return TavolinKeyPinning::fingerprint(publicKeyBase64URL_);
}

}  // namespace tavolin
