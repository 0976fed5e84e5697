#include "TavolinCore/Security/CryptoPrimitives.hpp"

#include <cstring>
#include <memory>
#include <utility>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <pthread.h>

namespace tavolin {
namespace {

// OpenSSL takes int lengths; larger buffers go through in pieces.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

// The first queued OpenSSL error as text; empties the queue either way.
std::string takeLibraryError() {
  const unsigned long code = ERR_peek_error();
  std::string text;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* pointer) const { Free(pointer); }
};

using PKeyPointer = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyContextPointer = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherContextPointer =
    std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using KDFContextPointer = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using BigNumberPointer = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using PointPointer = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using ParamBuilderPointer =
    std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamsPointer = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;

[[noreturn]] void fail(std::string_view operation) {
  throw CryptoError::underlyingLibraryFailure(operation);
}

void check(int result, std::string_view operation) {
  if (result != 1) {
    fail(operation);
  }
}

// Algorithms are fetched once: an implicit fetch on every call costs a locked store lookup.
// The objects live for the whole process on purpose.
const EVP_CIPHER* aes256GCM() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  if (cipher == nullptr) {
    fail("fetching AES-256-GCM");
  }
  return cipher;
}

const EVP_MD* sha256Digest() {
  static EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (digest == nullptr) {
    fail("fetching SHA-256");
  }
  return digest;
}

EVP_KDF* hkdf() {
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (kdf == nullptr) {
    fail("fetching HKDF");
  }
  return kdf;
}

// Only read after construction, which makes sharing it between threads safe.
const EC_GROUP* p256Group() {
  static EC_GROUP* const group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  if (group == nullptr) {
    fail("creating the P-256 group");
  }
  return group;
}

constexpr char kGroupName[] = "prime256v1";

// One cipher context per thread and direction, set up with the cipher once. Passing the cipher
// again on every message would make OpenSSL free and rebuild the provider context.
EVP_CIPHER_CTX* gcmContext(bool encrypting) {
  thread_local CipherContextPointer sealing;
  thread_local CipherContextPointer opening;
  CipherContextPointer& slot = encrypting ? sealing : opening;
  if (!slot) {
    CipherContextPointer context(EVP_CIPHER_CTX_new());
    if (!context) {
      fail("allocating a cipher context");
    }
    check(EVP_CipherInit_ex2(context.get(), aes256GCM(), nullptr, nullptr, encrypting ? 1 : 0,
                             nullptr),
          "setting up AES-256-GCM");
    slot = std::move(context);
  }
  return slot.get();
}

// Every RAND_bytes call costs a few microseconds whatever the count (OpenSSL's fork check is a
// getpid system call), more than sealing a 1 KiB message. Nonces are therefore drawn 64 at a time
// per thread. The pool is constant-initialised so that the fork handler can touch it safely; a
// forked child drops it so that parent and child never seal with the same nonce.
struct NoncePool {
  static constexpr std::size_t kCount = 64;

  std::array<std::uint8_t, aesGCMNonceSize * kCount> bytes{};
  std::size_t next = bytes.size();
};

thread_local NoncePool noncePool;

void dropNoncePoolInChild() {
  noncePool.next = noncePool.bytes.size();
}

void takeNonce(std::uint8_t* out) {
  static const bool forkHandlerInstalled = [] {
    if (pthread_atfork(nullptr, nullptr, &dropNoncePoolInChild) != 0) {
      throw CryptoError::underlyingLibraryFailure("installing the fork handler for nonces");
    }
    return true;
  }();
  static_cast<void>(forkHandlerInstalled);
  NoncePool& pool = noncePool;
  if (pool.next == pool.bytes.size()) {
    fillSecureRandom(pool.bytes);
    pool.next = 0;
  }
  std::memcpy(out, pool.bytes.data() + pool.next, aesGCMNonceSize);
  pool.next += aesGCMNonceSize;
}

// A parameters-only P-256 key. New public keys copy their group from it: building the group
// from its name on every import costs more than half of a key agreement.
const EVP_PKEY* p256Parameters() {
  static EVP_PKEY* const parameters = [] {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kGroupName),
                                         0),
        OSSL_PARAM_construct_end(),
    };
    PKeyContextPointer context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEY_PARAMETERS, params) != 1) {
      fail("creating the P-256 parameters");
    }
    return key;
  }();
  return parameters;
}

// `encoded` is 0x04 ‖ X ‖ Y. Setting it decodes the point, which checks that it is on the curve.
PKeyPointer publicKeyFromEncodedPoint(const std::uint8_t* encoded, std::size_t size) {
  PKeyPointer key(EVP_PKEY_new());
  if (!key || EVP_PKEY_copy_parameters(key.get(), p256Parameters()) != 1) {
    fail("preparing a public key");
  }
  if (EVP_PKEY_set1_encoded_public_key(key.get(), encoded, size) != 1) {
    ERR_clear_error();
    throw CryptoError::invalidKey();
  }
  return key;
}

}  // namespace

CryptoError CryptoError::incorrectKeySize() {
  return CryptoError(Kind::incorrectKeySize, "The key has an incorrect size.");
}

CryptoError CryptoError::incorrectParameterSize() {
  return CryptoError(Kind::incorrectParameterSize,
                     "A cryptographic parameter has an incorrect size.");
}

CryptoError CryptoError::invalidKey() {
  return CryptoError(Kind::invalidKey, "The key is not a valid P-256 key.");
}

CryptoError CryptoError::authenticationFailure() {
  return CryptoError(Kind::authenticationFailure,
                     "The data could not be authenticated: it was altered or the key is wrong.");
}

CryptoError CryptoError::underlyingLibraryFailure(std::string_view detail) {
  std::string text = "The cryptography library failed while " + std::string(detail);
  const std::string libraryError = takeLibraryError();
  if (!libraryError.empty()) {
    text += " (" + libraryError + ")";
  }
  text += ".";
  return CryptoError(Kind::underlyingLibraryFailure, std::move(text));
}

namespace crypto_detail {

void cleanse(void* data, std::size_t size) {
  OPENSSL_cleanse(data, size);
}

bool constantTimeEqual(const void* lhs, const void* rhs, std::size_t size) {
  return CRYPTO_memcmp(lhs, rhs, size) == 0;
}

}  // namespace crypto_detail

void fillSecureRandom(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t chunk = std::min(out.size(), kMaxChunk);
    check(RAND_bytes(out.data(), static_cast<int>(chunk)), "drawing random bytes");
    out = out.subspan(chunk);
  }
}

Bytes secureRandomBytes(std::size_t count) {
  Bytes bytes(count);
  fillSecureRandom(bytes);
  return bytes;
}

SHA256Digest sha256(std::span<const std::uint8_t> data) {
  SHA256Digest digest;
  unsigned int size = 0;
  check(EVP_Digest(data.data(), data.size(), digest.data(), &size, sha256Digest(), nullptr),
        "hashing with SHA-256");
  return digest;
}

// P256PublicKey

P256PublicKey P256PublicKey::fromRawRepresentation(std::span<const std::uint8_t> raw) {
  if (raw.size() != rawSize) {
    throw CryptoError::incorrectKeySize();
  }
  std::array<std::uint8_t, rawSize + 1> encoded;
  encoded[0] = POINT_CONVERSION_UNCOMPRESSED;
  std::copy(raw.begin(), raw.end(), encoded.begin() + 1);

  return P256PublicKey(publicKeyFromEncodedPoint(encoded.data(), encoded.size()).release());
}

std::array<std::uint8_t, P256PublicKey::rawSize> P256PublicKey::rawRepresentation() const {
  std::array<std::uint8_t, rawSize + 1> encoded;
  std::size_t size = 0;
  check(EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(),
                                        encoded.size(), &size),
        "exporting a public key");
  if (size != encoded.size() || encoded[0] != POINT_CONVERSION_UNCOMPRESSED) {
    fail("exporting a public key in uncompressed form");
  }
  std::array<std::uint8_t, rawSize> raw;
  std::copy(encoded.begin() + 1, encoded.end(), raw.begin());
  return raw;
}

P256PublicKey::P256PublicKey(const P256PublicKey& other) : key_(other.key_) {
  if (key_ != nullptr) {
    EVP_PKEY_up_ref(key_);
  }
}

P256PublicKey::P256PublicKey(P256PublicKey&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)) {}

P256PublicKey& P256PublicKey::operator=(P256PublicKey other) noexcept {
  std::swap(key_, other.key_);
  return *this;
}

P256PublicKey::~P256PublicKey() {
  EVP_PKEY_free(key_);
}

// P256PrivateKey

P256PrivateKey P256PrivateKey::generate() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (key == nullptr) {
    fail("generating a P-256 key");
  }
  return P256PrivateKey(key);
}

P256PrivateKey P256PrivateKey::fromRawRepresentation(std::span<const std::uint8_t> scalar) {
  if (scalar.size() != rawSize) {
    throw CryptoError::incorrectKeySize();
  }
  const EC_GROUP* group = p256Group();
  BigNumberPointer privateScalar(BN_secure_new());
  if (!privateScalar ||
      BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), privateScalar.get()) == nullptr) {
    fail("loading a private scalar");
  }
  if (BN_is_zero(privateScalar.get()) ||
      BN_cmp(privateScalar.get(), EC_GROUP_get0_order(group)) >= 0) {
    throw CryptoError::invalidKey();
  }
  BN_set_flags(privateScalar.get(), BN_FLG_CONSTTIME);

  // OpenSSL does not derive the public half on import, so compute it: without it the key
  // could not be exported or shown to peers.
  PointPointer publicPoint(EC_POINT_new(group));
  std::array<std::uint8_t, P256PublicKey::rawSize + 1> encoded;
  if (!publicPoint ||
      EC_POINT_mul(group, publicPoint.get(), privateScalar.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group, publicPoint.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                         encoded.size(), nullptr) != encoded.size()) {
    fail("computing a public key");
  }

  ParamBuilderPointer builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0) !=
          1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded.data(),
                                       encoded.size()) != 1) {
    fail("building private key parameters");
  }
  ParamsPointer params(OSSL_PARAM_BLD_to_param(builder.get()));
  PKeyContextPointer context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !context) {
    fail("preparing a private key import");
  }
  EVP_PKEY* key = nullptr;
  check(EVP_PKEY_fromdata_init(context.get()), "preparing a private key import");
  check(EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params.get()),
        "importing a private key");
  return P256PrivateKey(key);
}

SecretBytes<P256PrivateKey::rawSize> P256PrivateKey::rawRepresentation() const {
  BIGNUM* scalar = nullptr;
  check(EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_PRIV_KEY, &scalar), "exporting a private key");
  BigNumberPointer owned(scalar);
  SecretBytes<rawSize> raw;
  if (BN_bn2binpad(scalar, raw.mutableBytes().data(), static_cast<int>(rawSize)) !=
      static_cast<int>(rawSize)) {
    fail("exporting a private key");
  }
  return raw;
}

P256PublicKey P256PrivateKey::publicKey() const {
  std::array<std::uint8_t, P256PublicKey::rawSize + 1> encoded;
  std::size_t size = 0;
  check(EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(),
                                        encoded.size(), &size),
        "exporting a public key");
  return P256PublicKey(publicKeyFromEncodedPoint(encoded.data(), size).release());
}

SecretBytes<32> P256PrivateKey::sharedSecret(const P256PublicKey& peer) const {
  PKeyContextPointer context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
  if (!context) {
    fail("preparing key agreement");
  }
  check(EVP_PKEY_derive_init(context.get()), "preparing key agreement");
  // The peer point was checked to be on the curve when it was loaded; P-256 has cofactor 1, so
  // OpenSSL's full check (another scalar multiplication) adds nothing.
  check(EVP_PKEY_derive_set_peer_ex(context.get(), peer.native(), 0), "setting the peer key");
  SecretBytes<32> secret;
  std::size_t size = secret.size;
  check(EVP_PKEY_derive(context.get(), secret.mutableBytes().data(), &size),
        "computing the shared secret");
  if (size != secret.size) {
    fail("computing the shared secret");
  }
  return secret;
}

P256PrivateKey::P256PrivateKey(const P256PrivateKey& other) : key_(other.key_) {
  if (key_ != nullptr) {
    EVP_PKEY_up_ref(key_);
  }
}

P256PrivateKey::P256PrivateKey(P256PrivateKey&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)) {}

P256PrivateKey& P256PrivateKey::operator=(P256PrivateKey other) noexcept {
  std::swap(key_, other.key_);
  return *this;
}

P256PrivateKey::~P256PrivateKey() {
  EVP_PKEY_free(key_);
}

// HKDF

void hkdfSHA256(std::span<const std::uint8_t> inputKeyingMaterial,
                std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info,
                std::span<std::uint8_t> out) {
  if (out.empty() || out.size() > 255 * 32 || inputKeyingMaterial.empty()) {
    throw CryptoError::incorrectParameterSize();
  }
  // OpenSSL treats an empty salt as "not given" and refuses it; RFC 5869 defines that case as
  // HashLen zero bytes, which is also what an empty HMAC key amounts to.
  static constexpr std::array<std::uint8_t, 32> kZeroSalt{};
  if (salt.empty()) {
    salt = kZeroSalt;
  }
  KDFContextPointer context(EVP_KDF_CTX_new(hkdf()));
  if (!context) {
    fail("preparing HKDF");
  }
  char digestName[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                        const_cast<std::uint8_t*>(inputKeyingMaterial.data()),
                                        inputKeyingMaterial.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()),
                                        salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(info.data()),
                                        info.size()),
      OSSL_PARAM_construct_end(),
  };
  check(EVP_KDF_derive(context.get(), out.data(), out.size(), params), "deriving with HKDF");
}

SymmetricKey hkdfSHA256Key(std::span<const std::uint8_t> inputKeyingMaterial,
                           std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info) {
  SymmetricKey key;
  hkdfSHA256(inputKeyingMaterial, salt, info, key.mutableBytes());
  return key;
}

// AES-256-GCM

void aesGCMSeal(const SymmetricKey& key, std::span<const std::uint8_t> plaintext,
                std::span<std::uint8_t> sealed) {
  if (sealed.size() != plaintext.size() + aesGCMSealOverhead) {
    throw CryptoError::incorrectParameterSize();
  }
  std::uint8_t* nonce = sealed.data();
  std::uint8_t* ciphertext = nonce + aesGCMNonceSize;
  std::uint8_t* tag = ciphertext + plaintext.size();
  takeNonce(nonce);

  EVP_CIPHER_CTX* context = gcmContext(true);
  check(EVP_EncryptInit_ex2(context, nullptr, key.bytes().data(), nonce, nullptr),
        "starting AES-GCM encryption");
  std::size_t done = 0;
  while (done < plaintext.size()) {
    const int chunk = static_cast<int>(std::min(plaintext.size() - done, kMaxChunk));
    int written = 0;
    check(EVP_EncryptUpdate(context, ciphertext + done, &written, plaintext.data() + done, chunk),
          "encrypting with AES-GCM");
    if (written != chunk) {
      fail("encrypting with AES-GCM");
    }
    done += static_cast<std::size_t>(chunk);
  }
  int finalBytes = 0;
  check(EVP_EncryptFinal_ex(context, ciphertext + done, &finalBytes), "finishing AES-GCM");
  check(EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(aesGCMTagSize), tag),
        "reading the AES-GCM tag");
}

Bytes aesGCMSeal(const SymmetricKey& key, std::span<const std::uint8_t> plaintext) {
  Bytes sealed(plaintext.size() + aesGCMSealOverhead);
  aesGCMSeal(key, plaintext, sealed);
  return sealed;
}

void aesGCMOpen(const SymmetricKey& key, std::span<const std::uint8_t> sealed,
                std::span<std::uint8_t> plaintext) {
  if (sealed.size() < aesGCMSealOverhead ||
      plaintext.size() != sealed.size() - aesGCMSealOverhead) {
    throw CryptoError::incorrectParameterSize();
  }
  const std::uint8_t* nonce = sealed.data();
  const std::uint8_t* ciphertext = nonce + aesGCMNonceSize;
  const std::uint8_t* tag = ciphertext + plaintext.size();

  EVP_CIPHER_CTX* context = gcmContext(false);
  check(EVP_DecryptInit_ex2(context, nullptr, key.bytes().data(), nonce, nullptr),
        "starting AES-GCM decryption");
  std::size_t done = 0;
  while (done < plaintext.size()) {
    const int chunk = static_cast<int>(std::min(plaintext.size() - done, kMaxChunk));
    int written = 0;
    check(EVP_DecryptUpdate(context, plaintext.data() + done, &written, ciphertext + done, chunk),
          "decrypting with AES-GCM");
    done += static_cast<std::size_t>(chunk);
  }
  check(EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(aesGCMTagSize),
                            const_cast<std::uint8_t*>(tag)),
        "setting the AES-GCM tag");
  int finalBytes = 0;
  if (EVP_DecryptFinal_ex(context, plaintext.data() + done, &finalBytes) != 1) {
    ERR_clear_error();
    // Never hand out plaintext that failed authentication.
    crypto_detail::cleanse(plaintext.data(), plaintext.size());
    throw CryptoError::authenticationFailure();
  }
}

Bytes aesGCMOpen(const SymmetricKey& key, std::span<const std::uint8_t> sealed) {
  if (sealed.size() < aesGCMSealOverhead) {
    throw CryptoError::incorrectParameterSize();
  }
  Bytes plaintext(sealed.size() - aesGCMSealOverhead);
  aesGCMOpen(key, sealed, plaintext);
  return plaintext;
}

}  // namespace tavolin
