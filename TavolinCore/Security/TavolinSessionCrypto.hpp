#pragma once

// Per-session encryption between the device key and a controller key: ECDH on P-256, HKDF-SHA256
// with the session id as salt and a purpose label as info, then AES-256-GCM in the combined
// nonce ‖ ciphertext ‖ tag layout (28 bytes longer than the plaintext). A browser controller does
// the same with WebCrypto. Every operation is a pure function of its inputs (apart from the
// nonce) and may be called from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/describe/class.hpp>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"

namespace tavolin {

class TavolinSessionCryptoError : public TavolinError {
 public:
  enum class Kind { invalidPeerPublicKey, missingCombinedCiphertext };

  static TavolinSessionCryptoError invalidPeerPublicKey();
  static TavolinSessionCryptoError missingCombinedCiphertext();

  Kind kind() const { return kind_; }

 private:
  TavolinSessionCryptoError(Kind kind, std::string description)
      : TavolinError(std::move(description)), kind_(kind) {}

  Kind kind_;
};

// The decrypted inner command; its UTF-8 JSON is what a controller seals.
struct TavolinPlainCommandEnvelope {
  std::string type{};
  JSONObject payload{};
  std::optional<std::string> sessionId{};
  std::optional<std::string> commandId{};
  std::optional<std::string> idempotencyKey{};
  std::optional<std::string> sentAt{};

  friend bool operator==(const TavolinPlainCommandEnvelope&,
                         const TavolinPlainCommandEnvelope&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinPlainCommandEnvelope, (),
                      (type, payload, sessionId, commandId, idempotencyKey, sentAt))

// The payload of an "encrypted_command". `commandBase64` is standard, padded Base64 of the sealed
// bytes; `byteLength` is their count.
struct TavolinEncryptedCommandPayload {
  std::string encryption{};
  std::string contentFormat{};
  std::string senderPublicKey{};
  std::string commandBase64{};
  std::optional<std::int64_t> byteLength{};

  friend bool operator==(const TavolinEncryptedCommandPayload&,
                         const TavolinEncryptedCommandPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinEncryptedCommandPayload, (),
                      (encryption, contentFormat, senderPublicKey, commandBase64, byteLength))

namespace TavolinSessionCrypto {

// Algorithm identifiers; compared as plain, case-sensitive strings.
inline constexpr std::string_view commandEncryption = "p256-hkdf-sha256-aes-gcm";
inline constexpr std::string_view screenFrameEncryption = "p256-hkdf-sha256-aes-gcm";

// HKDF info labels. Distinct labels keep a command key from opening frames and vice versa.
inline constexpr std::string_view commandKeyLabel = "tavolin-command-v1";
inline constexpr std::string_view screenFrameKeyLabel = "tavolin-screen-frame-v1";

inline constexpr std::string_view encryptedCommandType = "encrypted_command";
inline constexpr std::string_view commandContentFormat = "tavolin-command-v1+json";
// `format` and `contentFormat` of an encrypted screen frame record.
inline constexpr std::string_view encryptedScreenFrameFormat = "jpeg+a256gcm";
inline constexpr std::string_view encryptedScreenFrameContentFormat = "jpeg";

inline constexpr std::size_t sealedOverhead = aesGCMSealOverhead;

// Key derivation. `peerPublicKeyBase64URL` is the peer's raw 64-byte X ‖ Y key in base64url
// (padding and the standard alphabet are tolerated). Text that is not Base64 throws
// TavolinSessionCryptoError::invalidPeerPublicKey; bytes of the wrong length or off the curve
// throw CryptoError.
SymmetricKey commandSymmetricKey(const P256PrivateKey& privateKey,
                                 std::string_view peerPublicKeyBase64URL,
                                 std::string_view sessionId);
SymmetricKey screenFrameSymmetricKey(const P256PrivateKey& privateKey,
                                     std::string_view peerPublicKeyBase64URL,
                                     std::string_view sessionId);

// Sealing draws a fresh nonce per message. Opening input shorter than 28 bytes throws
// CryptoError::incorrectParameterSize; a failed tag check throws
// CryptoError::authenticationFailure.
Bytes encryptCommand(std::span<const std::uint8_t> plaintext, const P256PrivateKey& privateKey,
                     std::string_view peerPublicKeyBase64URL, std::string_view sessionId);
Bytes encryptCommand(std::span<const std::uint8_t> plaintext, const SymmetricKey& symmetricKey);
Bytes decryptCommand(std::span<const std::uint8_t> sealed, const P256PrivateKey& privateKey,
                     std::string_view peerPublicKeyBase64URL, std::string_view sessionId);
Bytes decryptCommand(std::span<const std::uint8_t> sealed, const SymmetricKey& symmetricKey);

// Frames derive their key per call.
Bytes encryptScreenFrame(std::span<const std::uint8_t> jpeg, const P256PrivateKey& privateKey,
                         std::string_view peerPublicKeyBase64URL, std::string_view sessionId);
Bytes decryptScreenFrame(std::span<const std::uint8_t> sealed, const P256PrivateKey& privateKey,
                         std::string_view peerPublicKeyBase64URL, std::string_view sessionId);

}  // namespace TavolinSessionCrypto

// The command key of one session, derived once and cached by the command paths.
struct TavolinSessionCommandCrypto {
  SymmetricKey symmetricKey;

  TavolinSessionCommandCrypto(const P256PrivateKey& privateKey,
                              std::string_view peerPublicKeyBase64URL, std::string_view sessionId)
      : symmetricKey(TavolinSessionCrypto::commandSymmetricKey(privateKey, peerPublicKeyBase64URL,
                                                               sessionId)) {}
  explicit TavolinSessionCommandCrypto(const SymmetricKey& key) : symmetricKey(key) {}

  Bytes encrypt(std::span<const std::uint8_t> plaintext) const {
    return TavolinSessionCrypto::encryptCommand(plaintext, symmetricKey);
  }
  Bytes decrypt(std::span<const std::uint8_t> sealed) const {
    return TavolinSessionCrypto::decryptCommand(sealed, symmetricKey);
  }
};

}  // namespace tavolin
