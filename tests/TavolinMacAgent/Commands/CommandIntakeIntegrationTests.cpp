// Encrypted commands sealed by a browser-style controller (Node's WebCrypto only) through the
// agent's intake: accepted once, then refused with the exact reason for every way a command
// can go wrong on the wire.
#include <gtest/gtest.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/FlakyTokenStore.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

std::vector<JSONObject> sealWithWebCrypto(const std::string& agentPublicKey,
                                          const std::string& sessionId,
                                          const JSONArray& envelopes) {
  const JSONObject request{{"operation", "sealEnvelopes"},
                           {"agentPublicKey", agentPublicKey},
                           {"sessionId", sessionId},
                           {"envelopes", envelopes}};
  const auto result =
      testing::runProcess({"node", TAVOLIN_SOURCE_DIR "/tests/support/webcrypto-controller.mjs"},
                          JSONValue(request).serialize());
  if (result.exitCode != 0) {
    ADD_FAILURE() << "node failed: " << result.standardError;
    return {};
  }
  const JSONValue answer = JSONValue::parse(result.standardOutput);
  std::vector<JSONObject> payloads;
  for (const JSONValue& payload : *answer.object()->find("payloads")->array()) {
    payloads.push_back(*payload.object());
  }
  return payloads;
}

TEST(CommandIntakeWithWebCrypto, SealedCommandsAreAcceptedOnceAndRefusedPrecisely) {
  if (testing::runProcess({"node", "--version"}).exitCode != 0)
    GTEST_SKIP() << "node not found";
  auto store = std::make_shared<testing::FlakyTokenStore>();
  testing::ManualClock clock;
  const Date now = *TavolinISO8601::date("2026-03-01T12:00:00.000Z");
  clock.setNow(now);
  CommandExecutor executor(store, clock);
  const std::string agentKey = DeviceIdentity::loadOrCreate(*store).publicKeyBase64URL();

  const auto envelope = [&](std::string id, std::string session, Date sentAt) {
    return JSONObject{{"type", "benchmark_noop"},
                      {"payload", JSONObject{{"sequence", 41}, {"requestedAt", "r"}}},
                      {"sessionId", std::move(session)},
                      {"commandId", std::move(id)},
                      {"sentAt", TavolinISO8601::string(sentAt)}};
  };
  const auto payloads = sealWithWebCrypto(
      agentKey, "S",
      JSONArray{envelope("c1", "S", now), envelope("c2", "T", now), envelope("c3", "S", now - 121s),
                envelope("c4", "S", now + 31s), envelope("c5", "S", now)});
  ASSERT_EQ(payloads.size(), 5u);
  const auto send = [&](const JSONObject& payload, std::string_view session = "S") {
    return testing::runAwaitable(executor.encryptedCommand(session, payload));
  };
  const auto reason = [](const CompleteCommandPayload& answer) {
    return answer.result.find("reason") ? *answer.result.find("reason")->string() : answer.status;
  };

  const auto accepted = send(payloads[0]);
  ASSERT_EQ(accepted.status, "succeeded") << JSONValue(accepted.result).serialize();
  EXPECT_EQ(*accepted.result.find("sequence"), JSONValue(41));
  EXPECT_EQ(*accepted.result.find("innerType"), JSONValue("benchmark_noop"));
  EXPECT_EQ(reason(send(payloads[0])), "encrypted_command_replay_detected");
  clock.advance(5s);
  EXPECT_EQ(reason(send(payloads[0])), "encrypted_command_replay_detected");
  clock.setNow(now);
  EXPECT_EQ(reason(send(payloads[1])), "encrypted_command_session_mismatch");
  EXPECT_EQ(reason(send(payloads[4], "T")), "command_decryption_failed");
  EXPECT_EQ(reason(send(payloads[2])), "encrypted_command_stale");
  EXPECT_EQ(reason(send(payloads[3])), "encrypted_command_from_future");

  JSONObject tampered = payloads[4];
  std::string text = *tampered.find("commandBase64")->string();
  text[text.size() / 2] = text[text.size() / 2] == 'A' ? 'B' : 'A';
  tampered.set("commandBase64", text);
  EXPECT_EQ(reason(send(tampered)), "command_decryption_failed");
  EXPECT_EQ(send(payloads[4]).status, "succeeded");
}

}  // namespace
}  // namespace tavolin
