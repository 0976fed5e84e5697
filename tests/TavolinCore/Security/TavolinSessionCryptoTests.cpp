#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "tests/support/Hex.hpp"

namespace tavolin {
namespace {

namespace Session = TavolinSessionCrypto;

// Two fixed key pairs and the keys derived from them, computed with a from-scratch Python
// P-256/HKDF and cross-checked with Node's WebCrypto.
constexpr std::string_view kDeviceScalar = "P2buWL4acKBgJqqjjElefslF49u6pdBGg4RXU0f0tRo";
constexpr std::string_view kDevicePublicKey =
    "aqrx8R2Y86A3gsPMwT0K25suzeEIoTCktTXZSGxlAGPTKkdYvmbZGv5BkDG4ysasZA7F7_I2Tjpktwq4YLkrHA";
constexpr std::string_view kControllerScalar = "Ch7dRzqufpHJgEQoqQI9_9UKuGnV2jiefGEIrXr4WpA";
constexpr std::string_view kControllerPublicKey =
    "64U3BZGQ5tN4AFp-al4NfK6QXYDcgs1ln7cntp_Z_-5F5IaGwOsg-fI3Cx-IjvhOYjvlABIqK06Rj9TibZiHKQ";
constexpr std::string_view kCommandKeySession1 =
    "58d31ce0229e76b0b41da1c105be866bdc040b90ff3cd32982876b7f3e08789b";
constexpr std::string_view kFrameKeySession1 =
    "31ebc1c288286259e52f005b9e7bf822bbffaf84605e5d5f7048fa4bb1ddb47f";
constexpr std::string_view kCommandKeyEmptySession =
    "7ce2f2c8c455276946ce11193a734d676b6c51c52a1464f6b003dabc79c21d60";
// WebCrypto sealing of kSealedPlaintext by the controller for session-1, nonce 00 01 .. 0b.
constexpr std::string_view kSealedByWebCrypto =
    "000102030405060708090a0b8bf0064ad72755895b5092d5c9acc8a42365fb43a7dd6e44cd37e080fed06ae0b5"
    "0bd3cf4f8ae59e59a8ea9334c92e1fe9667fa79c48e5a62205d96b8417bd5d6449";
constexpr std::string_view kSealedPlaintext =
    R"({"type":"benchmark_noop","payload":{"sequence":7}})";

using testing::hex;

Bytes fromHex(std::string_view text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

P256PrivateKey keyFromScalar(std::string_view base64url) {
  return P256PrivateKey::fromRawRepresentation(*base64URLDecode(base64url));
}

template <class Error>
Error thrownBy(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  throw std::runtime_error("expected error was not thrown");
}

TEST(TavolinSessionCrypto, KeyDerivation_MatchesIndependentVectorsFromBothSides) {
  const P256PrivateKey device = keyFromScalar(kDeviceScalar);
  const P256PrivateKey controller = keyFromScalar(kControllerScalar);
  EXPECT_EQ(base64URLEncode(device.publicKey().rawRepresentation()), kDevicePublicKey);

  EXPECT_EQ(hex(Session::commandSymmetricKey(device, kControllerPublicKey, "session-1").bytes()),
            kCommandKeySession1);
  EXPECT_EQ(hex(Session::commandSymmetricKey(controller, kDevicePublicKey, "session-1").bytes()),
            kCommandKeySession1);
  EXPECT_EQ(
      hex(Session::screenFrameSymmetricKey(device, kControllerPublicKey, "session-1").bytes()),
      kFrameKeySession1);
  EXPECT_EQ(hex(Session::commandSymmetricKey(device, kControllerPublicKey, "").bytes()),
            kCommandKeyEmptySession);

  const Bytes opened = Session::decryptCommand(fromHex(kSealedByWebCrypto), device,
                                               kControllerPublicKey, "session-1");
  EXPECT_EQ(bytesToString(opened), kSealedPlaintext);
}

TEST(TavolinSessionCrypto, PeerKeyText_PaddedOrStandardAlphabetGivesSameKey) {
  const P256PrivateKey device = keyFromScalar(kDeviceScalar);
  const std::string padded = std::string(kControllerPublicKey) + "==";
  std::string standard(kControllerPublicKey);
  for (char& c : standard) {
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  for (const std::string& text : {padded, standard, standard + "=="}) {
    EXPECT_EQ(hex(Session::commandSymmetricKey(device, text, "session-1").bytes()),
              kCommandKeySession1)
        << text;
  }
}

TEST(TavolinSessionCrypto, MalformedPeerKey_FailsWithTheRightError) {
  const P256PrivateKey device = keyFromScalar(kDeviceScalar);
  for (std::string_view text : {"not base64!", "abcde", "a b"}) {
    const auto error = thrownBy<TavolinSessionCryptoError>(
        [&] { Session::commandSymmetricKey(device, text, "s"); });
    EXPECT_EQ(error.kind(), TavolinSessionCryptoError::Kind::invalidPeerPublicKey) << text;
    EXPECT_EQ(error.description(), "The peer public key is not valid.");
  }

  Bytes raw = *base64URLDecode(kControllerPublicKey);
  Bytes prefixed{0x04};
  prefixed.insert(prefixed.end(), raw.begin(), raw.end());
  const Bytes shortKey(raw.begin(), raw.end() - 1);
  for (const Bytes& wrongLength : {prefixed, shortKey, Bytes{}}) {
    const auto error = thrownBy<CryptoError>(
        [&] { Session::commandSymmetricKey(device, base64URLEncode(wrongLength), "s"); });
    EXPECT_EQ(error.kind(), CryptoError::Kind::incorrectKeySize) << wrongLength.size();
  }

  raw.back() ^= 0x01;  // Y no longer matches X
  const auto offCurve = thrownBy<CryptoError>(
      [&] { Session::commandSymmetricKey(device, base64URLEncode(raw), "s"); });
  EXPECT_EQ(offCurve.kind(), CryptoError::Kind::invalidKey);
  // A rejected key must not leave errors queued for the next TLS read on this thread.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(TavolinSessionCrypto, Sealing_AddsExactly28BytesWithAFreshNonce) {
  const SymmetricKey key(secureRandomBytes(32));
  for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 4099u}) {
    const Bytes plaintext = secureRandomBytes(size);
    const Bytes sealed = Session::encryptCommand(plaintext, key);
    EXPECT_EQ(sealed.size(), size + 28);
    EXPECT_EQ(Session::decryptCommand(sealed, key), plaintext) << size;
  }

  const Bytes first = Session::encryptCommand(byteSpan("same"), key);
  const Bytes second = Session::encryptCommand(byteSpan("same"), key);
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
  EXPECT_NE(first, second);

  const auto tooShort = thrownBy<CryptoError>([&] { Session::decryptCommand(Bytes(27, 0), key); });
  EXPECT_EQ(tooShort.kind(), CryptoError::Kind::incorrectParameterSize);
}

// Nonces are drawn ahead in batches; a forked child must not reuse the parent's batch.
TEST(TavolinSessionCrypto, Sealing_NeverReusesANonceAcrossFork) {
  const SymmetricKey key(secureRandomBytes(32));
  Session::encryptCommand(byteSpan("fill the batch"), key);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const Bytes sealed = Session::encryptCommand(byteSpan("child"), key);
    const bool written = write(fds[1], sealed.data(), 12) == 12;
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  const Bytes parent = Session::encryptCommand(byteSpan("parent"), key);
  Bytes childNonce(12);
  const ssize_t received = read(fds[0], childNonce.data(), childNonce.size());
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(received, 12);
  EXPECT_NE(childNonce, Bytes(parent.begin(), parent.begin() + 12));
}

TEST(TavolinSessionCrypto, Opening_FailsAfterAnyChange) {
  const SymmetricKey key(secureRandomBytes(32));
  const Bytes sealed = Session::encryptCommand(byteSpan("hello"), key);
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes tampered = sealed;
    tampered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto error = thrownBy<CryptoError>([&] { Session::decryptCommand(tampered, key); });
    EXPECT_EQ(error.kind(), CryptoError::Kind::authenticationFailure) << "bit " << bit;
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
  Bytes longer = sealed;
  longer.push_back(0);
  EXPECT_THROW(Session::decryptCommand(longer, key), CryptoError);
  EXPECT_THROW(Session::decryptCommand(std::span(sealed).first(sealed.size() - 1), key),
               CryptoError);
  EXPECT_EQ(bytesToString(Session::decryptCommand(sealed, key)), "hello");
}

TEST(TavolinSessionCrypto, Keys_SeparateSessionsAndPurposes) {
  const P256PrivateKey device = keyFromScalar(kDeviceScalar);
  const P256PrivateKey controller = keyFromScalar(kControllerScalar);
  const Bytes jpeg = secureRandomBytes(1000);

  const Bytes commandA =
      Session::encryptCommand(byteSpan("{}"), controller, kDevicePublicKey, "session-A");
  const Bytes frameA = Session::encryptScreenFrame(jpeg, controller, kDevicePublicKey, "session-A");

  const TavolinSessionCommandCrypto sessionA(device, kControllerPublicKey, "session-A");
  const TavolinSessionCommandCrypto sessionB(device, kControllerPublicKey, "session-B");
  EXPECT_THROW(sessionB.decrypt(commandA), CryptoError);
  EXPECT_EQ(bytesToString(sessionA.decrypt(commandA)), "{}");
  EXPECT_THROW(sessionA.decrypt(frameA), CryptoError);
  EXPECT_THROW(Session::decryptScreenFrame(commandA, device, kControllerPublicKey, "session-A"),
               CryptoError);
  EXPECT_THROW(Session::decryptScreenFrame(frameA, device, kControllerPublicKey, "session-B"),
               CryptoError);
  EXPECT_EQ(Session::decryptScreenFrame(frameA, device, kControllerPublicKey, "session-A"), jpeg);
  // The agent's reply with the cached key opens on the controller side.
  EXPECT_EQ(bytesToString(Session::decryptCommand(sessionA.encrypt(byteSpan("ok")), controller,
                                                  kDevicePublicKey, "session-A")),
            "ok");
}

// Cipher contexts are kept per thread; concurrent sessions must not see each other's keys.
TEST(TavolinSessionCrypto, ConcurrentSessions_KeepTheirOwnKeys) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const SymmetricKey mine(secureRandomBytes(32));
      const SymmetricKey other(secureRandomBytes(32));
      for (int i = 0; i < 200; ++i) {
        const Bytes plaintext = secureRandomBytes(static_cast<std::size_t>(i));
        const Bytes sealed = Session::encryptCommand(plaintext, mine);
        try {
          Session::decryptCommand(sealed, other);
          ++failures[t];
        } catch (const CryptoError&) {
        }
        if (Session::decryptCommand(sealed, mine) != plaintext) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(TavolinSessionCrypto, PlainEnvelope_RequiresTypeAndPayloadOnly) {
  const auto full = decodeJSON<TavolinPlainCommandEnvelope>(
      R"({"type":"ping","payload":{"n":1},"sessionId":"s","commandId":null,"extra":true})");
  EXPECT_EQ(full.type, "ping");
  EXPECT_EQ(full.payload, (JSONObject{{"n", 1}}));
  EXPECT_EQ(full.sessionId, "s");
  EXPECT_FALSE(full.commandId.has_value());
  EXPECT_EQ(decodeJSON<TavolinPlainCommandEnvelope>(R"({"type":"ping","payload":{}})").payload,
            JSONObject{});
  for (std::string_view text :
       {R"({"payload":{}})", R"({"type":"ping"})", R"({"type":"ping","payload":null})",
        R"({"type":"ping","payload":[]})", R"({"type":1,"payload":{}})"}) {
    EXPECT_THROW(decodeJSON<TavolinPlainCommandEnvelope>(text), JSONDecodingError) << text;
  }
}

}  // namespace
}  // namespace tavolin
