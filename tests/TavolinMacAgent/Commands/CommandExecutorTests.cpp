#include <gtest/gtest.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"
#include "tests/support/FlakyTokenStore.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/SealingController.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::runAwaitable;

class CommandExecutorTest : public ::testing::Test {
 protected:
  CommandExecutorTest() { clock.setNow(*TavolinISO8601::date("2026-03-01T12:00:00.000Z")); }

  TavolinPlainCommandEnvelope envelope(std::string id, Date sentAt,
                                       std::string type = "benchmark_noop") {
    return {.type = std::move(type),
            .payload = {{"sequence", 7}},
            .sessionId = "S",
            .commandId = std::move(id),
            .sentAt = TavolinISO8601::string(sentAt)};
  }

  CompleteCommandPayload send(const JSONObject& payload, std::string_view session = "S") {
    return runAwaitable(executor.encryptedCommand(session, payload));
  }

  static std::string reasonOf(const CompleteCommandPayload& answer) {
    const JSONValue* reason = answer.result.find("reason");
    return reason && reason->string() ? *reason->string() : "(" + answer.status + ")";
  }

  std::shared_ptr<testing::FlakyTokenStore> store = std::make_shared<testing::FlakyTokenStore>();
  testing::ManualClock clock;
  CommandExecutor executor{store, clock};
  const DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  const testing::SealingController controller{agent.publicKeyBase64URL()};
};

TEST_F(CommandExecutorTest, OuterPayloadChecks_AnswerTheirReasonCodesInOrder) {
  const JSONObject valid = controller.seal(envelope("c1", clock.now()));
  const auto with = [&](std::string_view key, JSONValue value) {
    JSONObject changed = valid;
    changed.set(std::string(key), std::move(value));
    return changed;
  };
  const auto without = [&](std::string_view key) {
    JSONObject changed = valid;
    changed.erase(key);
    return changed;
  };
  CommandExecutor noStore(nullptr, clock);
  EXPECT_EQ(reasonOf(runAwaitable(noStore.encryptedCommand("S", valid))),
            "command_decryption_unavailable");
  EXPECT_EQ(reasonOf(send(without("encryption"))), "unsupported_command_encryption");
  EXPECT_EQ(reasonOf(send(with("encryption", "P256-HKDF-SHA256-AES-GCM"))),
            "unsupported_command_encryption");
  EXPECT_EQ(reasonOf(send(with("contentFormat", 1))), "unsupported_command_content_format");
  EXPECT_EQ(reasonOf(send(with("senderPublicKey", nullptr))), "missing_command_sender_public_key");
  EXPECT_EQ(reasonOf(send(with("commandBase64", "not base64!"))),
            "invalid_encrypted_command_payload");
  EXPECT_EQ(reasonOf(send(without("commandBase64"))), "invalid_encrypted_command_payload");
  const double size = *valid.find("byteLength")->number();
  EXPECT_EQ(reasonOf(send(with("byteLength", size + 1))), "encrypted_command_byte_length_mismatch");
  EXPECT_EQ(reasonOf(send(with("byteLength", std::to_string(static_cast<int>(size) - 1)))),
            "encrypted_command_byte_length_mismatch");
  // Store reads are not retried per command: the identity is cached once loaded.
  EXPECT_EQ(store->reads, 1);
}

TEST_F(CommandExecutorTest, ByteLength_ReadsLikeAnIntegerAndIsSkippedWhenUnreadable) {
  int n = 0;
  for (JSONValue byteLength : std::vector<JSONValue>{JSONValue("letters"), JSONValue(true)}) {
    JSONObject payload = controller.seal(envelope("b" + std::to_string(n++), clock.now()));
    payload.set("byteLength", byteLength);
    EXPECT_EQ(send(payload).status, "succeeded");
  }
  JSONObject payload = controller.seal(envelope("b-string", clock.now()));
  const double size = *payload.find("byteLength")->number();
  payload.set("byteLength", "+" + std::to_string(static_cast<int>(size)));
  EXPECT_EQ(send(payload).status, "succeeded");
  payload = controller.seal(envelope("b-fraction", clock.now()));
  payload.set("byteLength", *payload.find("byteLength")->number() + 0.75);
  EXPECT_EQ(send(payload).status, "succeeded");
}

TEST_F(CommandExecutorTest, DecryptionFailures_CarryTheErrorText) {
  // Sealed for session S but delivered over T: a different key, so it does not open at all.
  const CompleteCommandPayload otherSession =
      send(controller.seal(envelope("c1", clock.now())), "T");
  EXPECT_EQ(reasonOf(otherSession), "command_decryption_failed");
  ASSERT_NE(otherSession.result.find("error"), nullptr);

  JSONObject tampered = controller.seal(envelope("c2", clock.now()));
  Bytes sealed = *base64Decode(*tampered.find("commandBase64")->string());
  sealed[20] ^= 0x01;
  tampered.set("commandBase64", base64Encode(sealed));
  EXPECT_EQ(reasonOf(send(tampered)), "command_decryption_failed");

  JSONObject badKey = controller.seal(envelope("c3", clock.now()));
  badKey.set("senderPublicKey", "%%%");
  const auto answer = send(badKey);
  EXPECT_EQ(reasonOf(answer), "command_decryption_failed");
  EXPECT_EQ(*answer.result.find("error"), JSONValue("The peer public key is not valid."));

  const auto notJson = send(controller.seal("not json", "S"));
  EXPECT_EQ(reasonOf(notJson), "command_decryption_failed");
  const auto noPayload = send(controller.seal(R"({"type":"benchmark_noop"})", "S"));
  EXPECT_EQ(*noPayload.result.find("error"), JSONValue("The required field 'payload' is missing."));

  // The failed derivation above left the cached key usable.
  EXPECT_EQ(send(controller.seal(envelope("c4", clock.now()))).status, "succeeded");
}

TEST_F(CommandExecutorTest, EnvelopeChecks_AnswerTheirReasonCodes) {
  auto nested = envelope("n1", clock.now(), "encrypted_command");
  EXPECT_EQ(reasonOf(send(controller.seal(nested))), "nested_encrypted_command_not_allowed");

  auto otherSession = envelope("m1", clock.now());
  otherSession.sessionId = "T";
  EXPECT_EQ(reasonOf(send(controller.seal(encodeJSON(otherSession), "S"))),
            "encrypted_command_session_mismatch");
  auto noSession = envelope("m2", clock.now());
  noSession.sessionId.reset();
  EXPECT_EQ(reasonOf(send(controller.seal(encodeJSON(noSession), "S"))),
            "encrypted_command_session_mismatch");

  auto emptyKey = envelope("has-command-id", clock.now());
  emptyKey.idempotencyKey = "";
  EXPECT_EQ(reasonOf(send(controller.seal(emptyKey))), "encrypted_command_replay_id_missing");
  auto noIds = envelope("", clock.now());
  noIds.commandId.reset();
  EXPECT_EQ(reasonOf(send(controller.seal(noIds))), "encrypted_command_replay_id_missing");

  auto badTime = envelope("t1", clock.now());
  badTime.sentAt = "yesterday";
  EXPECT_EQ(reasonOf(send(controller.seal(badTime))), "encrypted_command_sent_at_missing");
  badTime.sentAt.reset();
  EXPECT_EQ(reasonOf(send(controller.seal(badTime))), "encrypted_command_sent_at_missing");
}

TEST_F(CommandExecutorTest, AgeWindow_BoundariesAreInclusive) {
  const Date now = clock.now();
  EXPECT_EQ(send(controller.seal(envelope("a1", now - 120s))).status, "succeeded");
  EXPECT_EQ(reasonOf(send(controller.seal(envelope("a2", now - 120s - 1ms)))),
            "encrypted_command_stale");
  EXPECT_EQ(send(controller.seal(envelope("a3", now + 30s))).status, "succeeded");
  EXPECT_EQ(reasonOf(send(controller.seal(envelope("a4", now + 30s + 1ms)))),
            "encrypted_command_from_future");
  // Rejected before the replay check: the same id is still free.
  EXPECT_EQ(send(controller.seal(envelope("a4", now))).status, "succeeded");
}

TEST_F(CommandExecutorTest, Replays_AreDetectedThenAgeOutAsStale) {
  const JSONObject command = controller.seal(envelope("r1", clock.now()));
  EXPECT_EQ(send(command).status, "succeeded");
  clock.advance(119s);
  EXPECT_EQ(reasonOf(send(command)), "encrypted_command_replay_detected");
  clock.advance(1s + 1ms);
  EXPECT_EQ(reasonOf(send(command)), "encrypted_command_stale");

  // The same command id with distinct idempotency keys are distinct commands.
  auto first = envelope("shared", clock.now());
  first.idempotencyKey = "k1";
  auto second = first;
  second.idempotencyKey = "k2";
  EXPECT_EQ(send(controller.seal(first)).status, "succeeded");
  EXPECT_EQ(send(controller.seal(second)).status, "succeeded");
  EXPECT_EQ(reasonOf(send(controller.seal(first))), "encrypted_command_replay_detected");

  // A replay id is per session: the same id over another session is new.
  auto elsewhere = first;
  elsewhere.sessionId = "T";
  EXPECT_EQ(runAwaitable(executor.encryptedCommand("T", controller.seal(elsewhere))).status,
            "succeeded");
}

TEST_F(CommandExecutorTest, ReplayCache_IsPrunedToTheAgeWindow) {
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(send(controller.seal(envelope("p" + std::to_string(i), clock.now()))).status,
              "succeeded");
    clock.advance(3s);
  }
  // 150 s have passed: only commands accepted in the last 120 s are remembered.
  EXPECT_EQ(send(controller.seal(envelope("last", clock.now()))).status, "succeeded");
  EXPECT_EQ(executor.replayCacheSize(), 41u);
}

TEST_F(CommandExecutorTest, KeyCache_FollowsSessionAndControllerChanges) {
  const testing::SealingController other{agent.publicKeyBase64URL()};
  auto inT = envelope("k", clock.now());
  inT.sessionId = "T";
  for (int round = 0; round < 2; ++round) {
    const std::string suffix = std::to_string(round);
    EXPECT_EQ(send(controller.seal(envelope("s" + suffix, clock.now()))).status, "succeeded");
    inT.commandId = "t" + suffix;
    EXPECT_EQ(runAwaitable(executor.encryptedCommand("T", controller.seal(inT))).status,
              "succeeded");
    EXPECT_EQ(send(other.seal(envelope("o" + suffix, clock.now()))).status, "succeeded");
  }
}

TEST_F(CommandExecutorTest, EncryptedAnswers_AreMarkedWithTheInnerType) {
  const auto noop = send(controller.seal(envelope("e1", clock.now())));
  EXPECT_EQ(noop.status, "succeeded");
  EXPECT_EQ(*noop.result.find("encrypted"), JSONValue(true));
  EXPECT_EQ(*noop.result.find("innerType"), JSONValue("benchmark_noop"));
  EXPECT_EQ(*noop.result.find("sequence"), JSONValue(7));

  const auto unknown = send(controller.seal(envelope("e2", clock.now(), "Benchmark_Noop")));
  EXPECT_EQ(reasonOf(unknown), "unknown_command_type");
  EXPECT_EQ(*unknown.result.find("type"), JSONValue("Benchmark_Noop"));
  EXPECT_EQ(*unknown.result.find("encrypted"), JSONValue(true));
  EXPECT_EQ(*unknown.result.find("innerType"), JSONValue("Benchmark_Noop"));
}

TEST_F(CommandExecutorTest, Dispatch_BuiltInsRegisteredHandlersAndFailures) {
  const auto noop = runAwaitable(executor.execute("benchmark_noop", {}));
  EXPECT_EQ(JSONValue(noop.result).serialize(),
            R"({"sequence":0,"requestedAt":"","completedAt":"2026-03-01T12:00:00.000Z"})");
  const auto echoed = runAwaitable(
      executor.execute("benchmark_noop", {{"sequence", "x"}, {"requestedAt", 5}, {"other", true}}));
  EXPECT_EQ(*echoed.result.find("sequence"), JSONValue("x"));
  EXPECT_EQ(*echoed.result.find("requestedAt"), JSONValue(5));

  const auto custom = runAwaitable(executor.execute("custom", {}));
  EXPECT_EQ(JSONValue(custom.result).serialize(),
            R"({"reason":"custom_command_not_supported_in_v1","type":"custom"})");

  JSONObject seen;
  executor.registerHandler("keyboard_text",
                           [&](const JSONObject& payload) -> Awaitable<CompleteCommandPayload> {
                             seen = payload;
                             co_return CommandResults::succeeded({{"characters", 2}});
                           });
  executor.registerHandler("clipboard_set",
                           [](const JSONObject&) -> Awaitable<CompleteCommandPayload> {
                             throw std::runtime_error("pasteboard gone");
                             co_return CommandResults::succeeded();
                           });
  const auto typed = runAwaitable(executor.handle("S", "keyboard_text", {{"text", "hi"}}));
  EXPECT_EQ(typed.status, "succeeded");
  EXPECT_EQ(seen, (JSONObject{{"text", "hi"}}));
  const auto thrown = runAwaitable(executor.handle("S", "clipboard_set", {}));
  EXPECT_EQ(reasonOf(thrown), "command_failed");
  EXPECT_EQ(*thrown.result.find("error"), JSONValue("pasteboard gone"));
  EXPECT_EQ(reasonOf(runAwaitable(executor.handle("S", "KEYBOARD_TEXT", {}))),
            "unknown_command_type");
}

}  // namespace
}  // namespace tavolin
