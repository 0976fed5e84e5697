// The agent's session crypto against a browser-style controller: webcrypto-controller.mjs uses only
// WebCrypto, so any mismatch in key encoding, HKDF inputs or the sealed layout shows up here.

#include <cstdlib>
#include <sstream>
#include <string>

#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/Hex.hpp"

namespace tavolin {
namespace {

namespace json = boost::json;

bool nodeOnPath() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) {
    return false;
  }
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && access((folder + "/node").c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

using testing::hex;

// Stands in for a JPEG: the crypto does not look inside, but the size spans many GCM blocks
// and is not a multiple of 16.
Bytes fakeJPEG() {
  Bytes jpeg = secureRandomBytes(70001);
  jpeg[0] = 0xFF;
  jpeg[1] = 0xD8;
  return jpeg;
}

Bytes decodeBase64Field(const json::object& object, std::string_view key) {
  std::optional<Bytes> bytes = base64Decode(object.at(key).as_string());
  if (!bytes) {
    ADD_FAILURE() << key << " is not standard Base64";
    return {};
  }
  return *bytes;
}

class WebCryptoInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nodeOnPath()) {
      GTEST_SKIP() << "node is not on PATH";
    }
  }

  json::object runPeer(const json::object& request) {
    const testing::ProcessResult result =
        testing::runProcess({"node", TAVOLIN_SOURCE_DIR "/tests/support/webcrypto-controller.mjs"},
                            json::serialize(request));
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    json::value answer = json::parse(result.standardOutput);
    return answer.as_object();
  }

  // A fresh controller seals a command and a frame for the agent.
  json::object controllerSeals(std::string_view sessionId, const Bytes& frame) {
    return runPeer({{"operation", "seal"},
                    {"agentPublicKey", agent_.publicKeyBase64URL()},
                    {"sessionId", sessionId},
                    {"command",
                     {{"type", "key_press"},
                      {"payload", {{"key", "a"}, {"modifiers", json::array{"command"}}}},
                      {"commandId", "cmd-1"}}},
                    {"frameBase64", base64Encode(frame)}});
  }

  DeviceIdentity agent_{P256PrivateKey::generate()};
};

TEST_F(WebCryptoInterop, ControllerSealedCommandAndFrame_OpenOnAgent) {
  const std::string sessionId = "session-interop-1";
  const Bytes jpeg = fakeJPEG();
  const json::object sealed = controllerSeals(sessionId, jpeg);
  const std::string controllerKey(sealed.at("controllerPublicKey").as_string());

  EXPECT_EQ(
      hex(TavolinSessionCrypto::commandSymmetricKey(agent_.privateKey(), controllerKey, sessionId)
              .bytes()),
      sealed.at("commandKeyHex").as_string());

  const json::object& outer = sealed.at("encryptedCommand").as_object();
  EXPECT_EQ(outer.at("type").as_string(), TavolinSessionCrypto::encryptedCommandType);
  const auto payload = fromJSON<TavolinEncryptedCommandPayload>(outer.at("payload"));
  EXPECT_EQ(payload.encryption, TavolinSessionCrypto::commandEncryption);
  EXPECT_EQ(payload.contentFormat, TavolinSessionCrypto::commandContentFormat);
  EXPECT_EQ(payload.senderPublicKey, controllerKey);
  const std::optional<Bytes> sealedCommand = base64Decode(payload.commandBase64);
  ASSERT_TRUE(sealedCommand.has_value());
  EXPECT_EQ(payload.byteLength, static_cast<std::int64_t>(sealedCommand->size()));

  const Bytes plaintext = TavolinSessionCrypto::decryptCommand(*sealedCommand, agent_.privateKey(),
                                                               payload.senderPublicKey, sessionId);
  const auto envelope = decodeJSON<TavolinPlainCommandEnvelope>(bytesToString(plaintext));
  EXPECT_EQ(envelope.type, "key_press");
  EXPECT_EQ(envelope.payload,
            (JSONObject{{"key", "a"}, {"modifiers", JSONValue::strings({"command"})}}));
  EXPECT_EQ(envelope.sessionId, sessionId);
  EXPECT_EQ(envelope.commandId, "cmd-1");
  EXPECT_TRUE(envelope.idempotencyKey.has_value());
  ASSERT_TRUE(envelope.sentAt.has_value());
  EXPECT_TRUE(TavolinISO8601::date(*envelope.sentAt).has_value()) << *envelope.sentAt;

  const TavolinSessionCommandCrypto cached(agent_.privateKey(), payload.senderPublicKey, sessionId);
  EXPECT_EQ(cached.decrypt(*sealedCommand), plaintext);

  const Bytes sealedFrame = decodeBase64Field(sealed, "frameBase64");
  EXPECT_EQ(sealedFrame.size(), jpeg.size() + TavolinSessionCrypto::sealedOverhead);
  EXPECT_EQ(TavolinSessionCrypto::decryptScreenFrame(sealedFrame, agent_.privateKey(),
                                                     controllerKey, sessionId),
            jpeg);
  EXPECT_THROW(cached.decrypt(sealedFrame), CryptoError);
}

TEST_F(WebCryptoInterop, AgentSealedCommandAndFrame_OpenInBrowser) {
  const std::string sessionId = "session-interop-2";
  const json::object controller = controllerSeals(sessionId, fakeJPEG());
  const std::string controllerKey(controller.at("controllerPublicKey").as_string());

  const std::string command =
      R"({"type":"command_result","payload":{"ok":true,"text":"héllo ✓"},"sessionId":"session-interop-2"})";
  const Bytes sealedCommand = TavolinSessionCrypto::encryptCommand(
      byteSpan(command), agent_.privateKey(), controllerKey, sessionId);
  const Bytes jpeg = fakeJPEG();
  const Bytes sealedFrame =
      TavolinSessionCrypto::encryptScreenFrame(jpeg, agent_.privateKey(), controllerKey, sessionId);

  const json::object opened =
      runPeer({{"operation", "open"},
               {"controllerPrivateKeyJwk", controller.at("controllerPrivateKeyJwk")},
               {"agentPublicKey", agent_.publicKeyBase64URL()},
               {"sessionId", sessionId},
               {"commandBase64", base64Encode(sealedCommand)},
               {"frameBase64", base64Encode(sealedFrame)}});
  EXPECT_TRUE(opened.at("commandError").is_null()) << json::serialize(opened.at("commandError"));
  EXPECT_TRUE(opened.at("frameError").is_null()) << json::serialize(opened.at("frameError"));
  ASSERT_TRUE(opened.at("command").is_string());
  EXPECT_EQ(opened.at("command").as_string(), command);
  ASSERT_TRUE(opened.at("frameBase64").is_string());
  EXPECT_EQ(opened.at("frameBase64").as_string(), base64Encode(jpeg));
}

TEST_F(WebCryptoInterop, WrongSessionId_FailsOnBothSides) {
  const Bytes jpeg = fakeJPEG();
  const json::object controller = controllerSeals("session-A", jpeg);
  const std::string controllerKey(controller.at("controllerPublicKey").as_string());

  const auto payload = fromJSON<TavolinEncryptedCommandPayload>(
      controller.at("encryptedCommand").as_object().at("payload"));
  const Bytes fromBrowser = *base64Decode(payload.commandBase64);
  const Bytes frameFromBrowser = decodeBase64Field(controller, "frameBase64");
  for (const Bytes* sealed : {&fromBrowser, &frameFromBrowser}) {
    try {
      TavolinSessionCrypto::decryptCommand(*sealed, agent_.privateKey(), controllerKey,
                                           "session-B");
      ADD_FAILURE() << "opened with the wrong session id";
    } catch (const CryptoError& error) {
      EXPECT_EQ(error.kind(), CryptoError::Kind::authenticationFailure);
    }
  }
  EXPECT_THROW(TavolinSessionCrypto::decryptScreenFrame(frameFromBrowser, agent_.privateKey(),
                                                        controllerKey, "session-B"),
               CryptoError);

  const Bytes sealedCommand = TavolinSessionCrypto::encryptCommand(
      byteSpan(R"({"type":"ping","payload":{}})"), agent_.privateKey(), controllerKey, "session-A");
  const Bytes sealedFrame = TavolinSessionCrypto::encryptScreenFrame(jpeg, agent_.privateKey(),
                                                                     controllerKey, "session-A");
  const json::object opened =
      runPeer({{"operation", "open"},
               {"controllerPrivateKeyJwk", controller.at("controllerPrivateKeyJwk")},
               {"agentPublicKey", agent_.publicKeyBase64URL()},
               {"sessionId", "session-B"},
               {"commandBase64", base64Encode(sealedCommand)},
               {"frameBase64", base64Encode(sealedFrame)}});
  EXPECT_TRUE(opened.at("command").is_null());
  EXPECT_EQ(opened.at("commandError"), "OperationError");
  EXPECT_TRUE(opened.at("frameBase64").is_null());
  EXPECT_EQ(opened.at("frameError"), "OperationError");
}

}  // namespace
}  // namespace tavolin
