// The agent binary on a real Xvfb display, driven over loopback HTTP by a controller whose
// crypto is Node's WebCrypto only: pairing code from the marker line, a still-frame session, an
// encrypted command executed through the command route, and a still frame the controller opens.
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/RunningAgent.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/TestHTTP.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

JSONObject webCrypto(const JSONObject& request) {
  const auto result =
      testing::runProcess({"node", TAVOLIN_SOURCE_DIR "/tests/support/webcrypto-controller.mjs"},
                          JSONValue(request).serialize());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  return *JSONValue::parse(result.standardOutput).object();
}

JSONObject objectAt(const JSONObject& object, std::string_view key) {
  return *object.find(key)->object();
}

std::string stringAt(const JSONObject& object, std::string_view key) {
  const JSONValue* value = object.find(key);
  return value && value->string() ? *value->string() : std::string();
}

TEST(LocalNetworkAgent, WebCryptoControllerPairsCommandsAndOpensFrames) {
  if (testing::runProcess({"node", "--version"}).exitCode != 0)
    GTEST_SKIP() << "node not found";
  testing::XvfbServer display(1280, 800);
  testing::TemporaryDirectory home;
  std::string firstCode;
  {
    testing::RunningAgent agent(display, home);
    ASSERT_NE(agent.port, 0);
    firstCode = agent.pairingCode;

    const JSONObject keys = webCrypto({{"operation", "keyPair"}});
    const std::string controllerKey = stringAt(keys, "controllerPublicKey");
    const testing::TestHeaders auth{
        {"authorization", "Bearer local.v1." + agent.pairingCode + "." + controllerKey}};

    const auto device = testing::httpRequest(agent.port, "GET", "/v1/local/device");
    ASSERT_EQ(device.status, 200) << device.body;
    const std::string agentKey =
        stringAt(objectAt(*JSONValue::parse(device.body).object(), "device"), "publicKey");

    const auto created = testing::httpRequest(agent.port, "POST", "/v1/controllers/sessions", auth,
                                              R"({"deviceId":"d","transportMode":"hybrid",)"
                                              R"("metadata":{"webConsole":true}})");
    ASSERT_EQ(created.status, 201) << created.body;
    const std::string sessionId =
        stringAt(objectAt(*JSONValue::parse(created.body).object(), "session"), "id");

    const JSONObject sealed =
        webCrypto({{"operation", "seal"},
                   {"agentPublicKey", agentKey},
                   {"sessionId", sessionId},
                   {"controllerPrivateKeyJwk", *keys.find("controllerPrivateKeyJwk")},
                   {"command", JSONObject{{"type", "benchmark_noop"},
                                          {"payload", JSONObject{{"sequence", 9}}},
                                          {"commandId", "cmd-1"}}}});
    const std::string commandBody = JSONValue(objectAt(sealed, "encryptedCommand")).serialize();
    const std::string commandPath = "/v1/controllers/sessions/" + sessionId + "/commands";
    const auto executed = testing::httpRequest(agent.port, "POST", commandPath, auth, commandBody);
    ASSERT_EQ(executed.status, 201) << executed.body;
    const JSONObject command = objectAt(*JSONValue::parse(executed.body).object(), "command");
    EXPECT_EQ(stringAt(command, "status"), "succeeded") << executed.body;
    const JSONObject result = objectAt(command, "result");
    EXPECT_EQ(*result.find("encrypted")->boolean(), true);
    EXPECT_EQ(stringAt(result, "innerType"), "benchmark_noop");
    EXPECT_EQ(*result.find("sequence")->number(), 9);

    const auto replayed = testing::httpRequest(agent.port, "POST", commandPath, auth, commandBody);
    const JSONObject replay = objectAt(*JSONValue::parse(replayed.body).object(), "command");
    EXPECT_EQ(stringAt(objectAt(replay, "result"), "reason"), "encrypted_command_replay_detected");

    const auto frame = testing::httpRequest(
        agent.port, "GET", "/v1/controllers/sessions/" + sessionId + "/screen/latest", auth);
    ASSERT_EQ(frame.status, 200) << frame.body;
    const JSONObject screen = objectAt(*JSONValue::parse(frame.body).object(), "frame");
    EXPECT_EQ(*screen.find("width")->number(), 1280);
    EXPECT_EQ(*screen.find("displayHeight")->number(), 800);
    const JSONObject opened =
        webCrypto({{"operation", "open"},
                   {"controllerPrivateKeyJwk", *keys.find("controllerPrivateKeyJwk")},
                   {"agentPublicKey", agentKey},
                   {"sessionId", sessionId},
                   {"commandBase64", ""},
                   {"frameBase64", stringAt(screen, "imageBase64")}});
    const auto jpeg = base64Decode(stringAt(opened, "frameBase64"));
    ASSERT_TRUE(jpeg) << JSONValue(opened).serialize();
    ASSERT_GE(jpeg->size(), 2u);
    EXPECT_EQ((*jpeg)[0], 0xFF);
    EXPECT_EQ((*jpeg)[1], 0xD8);

    const auto wrongCode =
        testing::httpRequest(agent.port, "GET", "/v1/controllers/devices",
                             {{"authorization", "Bearer local.v1.00000000." + controllerKey}});
    EXPECT_EQ(wrongCode.status, 401);
    EXPECT_EQ(wrongCode.body, R"({"error":"invalid_local_pairing_code"})");
  }
  testing::RunningAgent restarted(display, home);
  EXPECT_EQ(restarted.pairingCode, firstCode);
}

}  // namespace
}  // namespace tavolin
