#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace tavolin {

TavolinSessionCryptoError TavolinSessionCryptoError::invalidPeerPublicKey() {
  return TavolinSessionCryptoError(Kind::invalidPeerPublicKey, "The peer public key is not valid.");
}

TavolinSessionCryptoError TavolinSessionCryptoError::missingCombinedCiphertext() {
  return TavolinSessionCryptoError(Kind::missingCombinedCiphertext,
                                   "The encrypted payload could not be serialized.");
}

namespace TavolinSessionCrypto {
namespace {

SymmetricKey deriveKey(const P256PrivateKey& privateKey, std::string_view peerPublicKeyBase64URL,
                       std::string_view sessionId, std::string_view label) {
  const std::optional<Bytes> peerBytes = base64URLDecode(peerPublicKeyBase64URL);
  if (!peerBytes) {
    throw TavolinSessionCryptoError::invalidPeerPublicKey();
  }
  const P256PublicKey peer = P256PublicKey::fromRawRepresentation(*peerBytes);
  const SecretBytes<32> shared = privateKey.sharedSecret(peer);
  return hkdfSHA256Key(shared.bytes(), byteSpan(sessionId), byteSpan(label));
}

Bytes seal(std::span<const std::uint8_t> plaintext, const SymmetricKey& key) {
  Bytes sealed = aesGCMSeal(key, plaintext);
  // The layout is fixed; anything else must not reach a peer.
  if (sealed.size() != plaintext.size() + sealedOverhead) {
    throw TavolinSessionCryptoError::missingCombinedCiphertext();
  }
  return sealed;
}

}  // namespace

SymmetricKey commandSymmetricKey(const P256PrivateKey& privateKey,
                                 std::string_view peerPublicKeyBase64URL,
                                 std::string_view sessionId) {
  return deriveKey(privateKey, peerPublicKeyBase64URL, sessionId, commandKeyLabel);
}

SymmetricKey screenFrameSymmetricKey(const P256PrivateKey& privateKey,
                                     std::string_view peerPublicKeyBase64URL,
                                     std::string_view sessionId) {
  return deriveKey(privateKey, peerPublicKeyBase64URL, sessionId, screenFrameKeyLabel);
}

Bytes encryptCommand(std::span<const std::uint8_t> plaintext, const P256PrivateKey& privateKey,
                     std::string_view peerPublicKeyBase64URL, std::string_view sessionId) {
  return seal(plaintext, commandSymmetricKey(privateKey, peerPublicKeyBase64URL, sessionId));
}

Bytes encryptCommand(std::span<const std::uint8_t> plaintext, const SymmetricKey& symmetricKey) {
  return seal(plaintext, symmetricKey);
}

Bytes decryptCommand(std::span<const std::uint8_t> sealed, const P256PrivateKey& privateKey,
                     std::string_view peerPublicKeyBase64URL, std::string_view sessionId) {
  return aesGCMOpen(commandSymmetricKey(privateKey, peerPublicKeyBase64URL, sessionId), sealed);
}

Bytes decryptCommand(std::span<const std::uint8_t> sealed, const SymmetricKey& symmetricKey) {
  return aesGCMOpen(symmetricKey, sealed);
}

Bytes encryptScreenFrame(std::span<const std::uint8_t> jpeg, const P256PrivateKey& privateKey,
                         std::string_view peerPublicKeyBase64URL, std::string_view sessionId) {
  return seal(jpeg, screenFrameSymmetricKey(privateKey, peerPublicKeyBase64URL, sessionId));
}

Bytes decryptScreenFrame(std::span<const std::uint8_t> sealed, const P256PrivateKey& privateKey,
                         std::string_view peerPublicKeyBase64URL, std::string_view sessionId) {
  return aesGCMOpen(screenFrameSymmetricKey(privateKey, peerPublicKeyBase64URL, sessionId), sealed);
}

}  // namespace TavolinSessionCrypto
}  // namespace tavolin
