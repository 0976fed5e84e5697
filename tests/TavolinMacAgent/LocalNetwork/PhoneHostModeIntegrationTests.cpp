// A phone frame sealed the way a browser or phone would seal it, with WebCrypto only (Node's, via
// webcrypto-controller.mjs), for this computer's device key: opened by the frames route and
// served back decrypted.
#include <gtest/gtest.h>

#include "TavolinCore/JSON/JSONValue.hpp"
#include "tests/TavolinMacAgent/LocalNetwork/PhoneHostModeFixture.hpp"
#include "tests/support/ChildProcess.hpp"

namespace tavolin {
namespace {

using testing::PhoneHostModeTest;

TEST_F(PhoneHostModeTest, WebCryptoSealedFrame_OpenedAndServedDecrypted) {
  if (testing::runProcess({"node", "--version"}).exitCode != 0)
    GTEST_SKIP() << "node not found";
  const std::string devicePublicKey =
      DeviceIdentity::loadOrCreate(*tokenStore).publicKeyBase64URL();
  // The helper seals a command beside the frame; only the frame is used here.
  const JSONObject request{{"operation", "seal"},
                           {"agentPublicKey", devicePublicKey},
                           {"sessionId", "broadcast-7"},
                           {"command", JSONObject{{"type", "noop"}, {"payload", JSONObject{}}}},
                           {"frameBase64", base64Encode(jpeg)}};
  const auto result =
      testing::runProcess({"node", TAVOLIN_SOURCE_DIR "/tests/support/webcrypto-controller.mjs"},
                          JSONValue(request).serialize());
  ASSERT_EQ(result.exitCode, 0) << result.standardError;
  const JSONValue sealed = JSONValue::parse(result.standardOutput);
  ASSERT_TRUE(sealed.object()) << result.standardOutput;
  const JSONObject& answer = *sealed.object();

  auto payload = unsealedUpload("broadcast-7");
  payload.senderPublicKey = *answer.find("controllerPublicKey")->string();
  payload.imageBase64 = *answer.find("frameBase64")->string();
  payload.byteLength = static_cast<std::int64_t>(base64Decode(payload.imageBase64)->size());
  const auto accepted = post("frames", encodeJSON(payload));
  ASSERT_EQ(accepted.statusCode, 200) << accepted.body;
  const auto latest = decoded<PhoneHostLatestFrameResponse>(get("frame/latest"));
  ASSERT_TRUE(latest.frame);
  EXPECT_EQ(latest.frame->imageBase64, base64Encode(jpeg));
  EXPECT_EQ(latest.snapshot.streamId, "broadcast-7");
}

}  // namespace
}  // namespace tavolin
