#pragma once

// Thin wrappers over OpenSSL 3 for the few primitives the agent needs: secure random bytes,
// SHA-256, P-256 keys with raw encodings, ECDH, HKDF-SHA256 and AES-256-GCM in the combined
// nonce ‖ ciphertext ‖ tag layout. Every function is safe to call from any thread. Failures
// throw CryptoError and leave OpenSSL's per-thread error queue empty, so that a rejected peer
// key never shows up later as a stray TLS error.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <openssl/types.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

// Callers turn these into their own reason codes, with description() as the detail text.
class CryptoError : public TavolinError {
 public:
  enum class Kind {
    incorrectKeySize,          // key bytes of the wrong length
    incorrectParameterSize,    // sealed input shorter than nonce + tag, or a buffer mis-sized
    invalidKey,                // a point off the curve, or a scalar outside 1 ..< n
    authenticationFailure,     // the GCM tag did not match
    underlyingLibraryFailure,  // OpenSSL itself failed
  };

  static CryptoError incorrectKeySize();
  static CryptoError incorrectParameterSize();
  static CryptoError invalidKey();
  static CryptoError authenticationFailure();
  // `detail` names the operation; OpenSSL's first queued error is appended.
  static CryptoError underlyingLibraryFailure(std::string_view detail);

  Kind kind() const { return kind_; }

 private:
  CryptoError(Kind kind, std::string description)
      : TavolinError(std::move(description)), kind_(kind) {}

  Kind kind_;
};

namespace crypto_detail {
void cleanse(void* data, std::size_t size);
bool constantTimeEqual(const void* lhs, const void* rhs, std::size_t size);
}  // namespace crypto_detail

// Fixed-size secret bytes, wiped when destroyed and compared in constant time.
template <std::size_t N>
class SecretBytes {
 public:
  static constexpr std::size_t size = N;

  SecretBytes() = default;
  // Throws CryptoError::incorrectKeySize unless `bytes` has exactly N bytes.
  explicit SecretBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != N) {
      throw CryptoError::incorrectKeySize();
    }
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes&) = default;
  ~SecretBytes() { crypto_detail::cleanse(bytes_.data(), N); }

  std::span<const std::uint8_t, N> bytes() const { return bytes_; }
  std::span<std::uint8_t, N> mutableBytes() { return bytes_; }

  friend bool operator==(const SecretBytes& lhs, const SecretBytes& rhs) {
    return crypto_detail::constantTimeEqual(lhs.bytes_.data(), rhs.bytes_.data(), N);
  }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

// A 256-bit AES key.
using SymmetricKey = SecretBytes<32>;

using SHA256Digest = std::array<std::uint8_t, 32>;

void fillSecureRandom(std::span<std::uint8_t> out);
Bytes secureRandomBytes(std::size_t count);

SHA256Digest sha256(std::span<const std::uint8_t> data);

// A P-256 public key. Immutable; copies share the underlying OpenSSL key.
class P256PublicKey {
 public:
  static constexpr std::size_t rawSize = 64;

  // X ‖ Y, 32 bytes each, big-endian, no 0x04 prefix. Throws incorrectKeySize for any other
  // length and invalidKey for a point that is not on the curve.
  static P256PublicKey fromRawRepresentation(std::span<const std::uint8_t> raw);

  std::array<std::uint8_t, rawSize> rawRepresentation() const;
  EVP_PKEY* native() const { return key_; }

  P256PublicKey(const P256PublicKey& other);
  P256PublicKey(P256PublicKey&& other) noexcept;
  P256PublicKey& operator=(P256PublicKey other) noexcept;
  ~P256PublicKey();

 private:
  explicit P256PublicKey(EVP_PKEY* key) : key_(key) {}
  friend class P256PrivateKey;

  EVP_PKEY* key_;
};

// A P-256 private key, used for both ECDSA identity and ECDH. Immutable; copies share the
// underlying OpenSSL key.
class P256PrivateKey {
 public:
  static constexpr std::size_t rawSize = 32;

  static P256PrivateKey generate();
  // The big-endian scalar. Throws incorrectKeySize unless it is 32 bytes and invalidKey for 0
  // or a value not below the group order.
  static P256PrivateKey fromRawRepresentation(std::span<const std::uint8_t> scalar);

  SecretBytes<rawSize> rawRepresentation() const;
  P256PublicKey publicKey() const;
  // ECDH: the X coordinate of the shared point.
  SecretBytes<32> sharedSecret(const P256PublicKey& peer) const;
  EVP_PKEY* native() const { return key_; }

  P256PrivateKey(const P256PrivateKey& other);
  P256PrivateKey(P256PrivateKey&& other) noexcept;
  P256PrivateKey& operator=(P256PrivateKey other) noexcept;
  ~P256PrivateKey();

 private:
  explicit P256PrivateKey(EVP_PKEY* key) : key_(key) {}

  EVP_PKEY* key_;
};

// RFC 5869 extract-then-expand; fills `out` (at most 255 × 32 bytes).
void hkdfSHA256(std::span<const std::uint8_t> inputKeyingMaterial,
                std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info,
                std::span<std::uint8_t> out);
SymmetricKey hkdfSHA256Key(std::span<const std::uint8_t> inputKeyingMaterial,
                           std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info);

inline constexpr std::size_t aesGCMNonceSize = 12;
inline constexpr std::size_t aesGCMTagSize = 16;
inline constexpr std::size_t aesGCMSealOverhead = aesGCMNonceSize + aesGCMTagSize;

// AES-256-GCM with a fresh random nonce and no associated data. `sealed` must hold exactly
// plaintext.size() + aesGCMSealOverhead bytes (incorrectParameterSize otherwise) and receives
// nonce ‖ ciphertext ‖ tag. The buffers must not overlap.
void aesGCMSeal(const SymmetricKey& key, std::span<const std::uint8_t> plaintext,
                std::span<std::uint8_t> sealed);
Bytes aesGCMSeal(const SymmetricKey& key, std::span<const std::uint8_t> plaintext);

// Reverses aesGCMSeal. Input shorter than aesGCMSealOverhead throws incorrectParameterSize; a
// tag mismatch throws authenticationFailure and leaves `plaintext` zeroed. `plaintext` must
// hold exactly sealed.size() - aesGCMSealOverhead bytes.
void aesGCMOpen(const SymmetricKey& key, std::span<const std::uint8_t> sealed,
                std::span<std::uint8_t> plaintext);
Bytes aesGCMOpen(const SymmetricKey& key, std::span<const std::uint8_t> sealed);

}  // namespace tavolin
