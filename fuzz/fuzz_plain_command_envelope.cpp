// The decrypted command path on arbitrary bytes: the envelope decoder may only reject with
// JSONDecodingError, and opening arbitrary bytes with a session key may only fail with
// CryptoError. Anything else escaping is a crash.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

namespace {

const tavolin::TavolinSessionCommandCrypto& fixedSession() {
  static const tavolin::TavolinSessionCommandCrypto session(tavolin::SymmetricKey(
      tavolin::Bytes{0x6b, 0x65, 0x79, 0x2d, 0x66, 0x6f, 0x72, 0x2d, 0x66, 0x75, 0x7a,
                     0x7a, 0x69, 0x6e, 0x67, 0x2d, 0x74, 0x68, 0x65, 0x2d, 0x63, 0x6f,
                     0x6d, 0x6d, 0x61, 0x6e, 0x64, 0x2d, 0x70, 0x61, 0x74, 0x68}));
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const auto envelope =
        tavolin::decodeJSON<tavolin::TavolinPlainCommandEnvelope>(tavolin::bytesToString(bytes));
    // Encoding is exercised but not compared: Boost.JSON 1.81 does not round long decimal
    // literals exactly, so text -> double -> text -> double may move by one ulp.
    static_cast<void>(tavolin::encodeJSON(envelope));
  } catch (const tavolin::JSONDecodingError&) {
  }

  try {
    fixedSession().decrypt(bytes);
    // Forging a tag by chance is not a thing a fuzzer does.
    std::abort();
  } catch (const tavolin::CryptoError& error) {
    if (error.kind() != tavolin::CryptoError::Kind::authenticationFailure &&
        error.kind() != tavolin::CryptoError::Kind::incorrectParameterSize) {
      std::abort();
    }
  }

  const tavolin::Bytes sealed = fixedSession().encrypt(bytes);
  if (fixedSession().decrypt(sealed) != tavolin::Bytes(bytes.begin(), bytes.end())) {
    std::abort();
  }
  return 0;
}
