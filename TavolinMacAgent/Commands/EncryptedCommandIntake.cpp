#include "TavolinMacAgent/Commands/EncryptedCommandIntake.hpp"

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {
namespace {

using CommandResults::failed;

bool stringEquals(const JSONObject& payload, std::string_view key, std::string_view expected) {
  const std::string* value = CommandPayload::string(payload, key);
  return value != nullptr && *value == expected;
}

}  // namespace

EncryptedCommandIntake::EncryptedCommandIntake(std::shared_ptr<TokenStore> tokenStore,
                                               const Clock& clock)
    : tokenStore_(std::move(tokenStore)), clock_(clock) {}

EncryptedCommandIntake::Opened EncryptedCommandIntake::open(std::string_view sessionId,
                                                            const JSONObject& payload) {
  if (!tokenStore_)
    return failed("command_decryption_unavailable");
  if (!stringEquals(payload, "encryption", TavolinSessionCrypto::commandEncryption)) {
    return failed("unsupported_command_encryption");
  }
  if (!stringEquals(payload, "contentFormat", TavolinSessionCrypto::commandContentFormat)) {
    return failed("unsupported_command_content_format");
  }
  const std::string* senderPublicKey = CommandPayload::string(payload, "senderPublicKey");
  if (senderPublicKey == nullptr)
    return failed("missing_command_sender_public_key");
  const std::string* commandBase64 = CommandPayload::string(payload, "commandBase64");
  std::optional<Bytes> sealed;
  if (commandBase64 != nullptr)
    sealed = base64Decode(*commandBase64);
  if (!sealed)
    return failed("invalid_encrypted_command_payload");
  if (const auto byteLength = CommandPayload::integer(payload, "byteLength");
      byteLength && *byteLength != static_cast<std::int64_t>(sealed->size())) {
    return failed("encrypted_command_byte_length_mismatch");
  }

  try {
    const Bytes plaintext = commandCrypto(sessionId, *senderPublicKey).decrypt(*sealed);
    return decodeJSON<TavolinPlainCommandEnvelope>(bytesToString(plaintext));
  } catch (const std::exception& error) {
    return failed("command_decryption_failed",
                  {{"error", CommandResults::errorDescription(error)}});
  }
}

const TavolinSessionCommandCrypto& EncryptedCommandIntake::commandCrypto(
    std::string_view sessionId, std::string_view senderPublicKey) {
  if (!cachedIdentity_)
    cachedIdentity_ = DeviceIdentity::loadOrCreate(*tokenStore_);
  std::string contextKey(sessionId);
  contextKey += '|';
  contextKey += cachedIdentity_->publicKeyBase64URL();
  contextKey += '|';
  contextKey += senderPublicKey;
  if (!cachedCommandCrypto_ || cachedCommandCryptoContextKey_ != contextKey) {
    // Derive first: a failed derivation leaves the previous key in place.
    TavolinSessionCommandCrypto derived(cachedIdentity_->privateKey(), senderPublicKey, sessionId);
    cachedCommandCrypto_ = std::move(derived);
    cachedCommandCryptoContextKey_ = std::move(contextKey);
  }
  return *cachedCommandCrypto_;
}

std::optional<CompleteCommandPayload> EncryptedCommandIntake::admit(
    std::string_view sessionId, const TavolinPlainCommandEnvelope& envelope) {
  if (envelope.type == TavolinSessionCrypto::encryptedCommandType) {
    return failed("nested_encrypted_command_not_allowed");
  }
  if (envelope.sessionId != sessionId)
    return failed("encrypted_command_session_mismatch");
  // An empty idempotency key does not fall back to the command id.
  const std::optional<std::string>& replayId =
      envelope.idempotencyKey ? envelope.idempotencyKey : envelope.commandId;
  if (!replayId || replayId->empty())
    return failed("encrypted_command_replay_id_missing");
  const std::optional<Date> sentAt =
      envelope.sentAt ? TavolinISO8601::date(*envelope.sentAt) : std::nullopt;
  if (!sentAt)
    return failed("encrypted_command_sent_at_missing");

  const Date now = clock_.now();
  if (now - *sentAt > maxAge)
    return failed("encrypted_command_stale");
  if (*sentAt - now > futureSkew)
    return failed("encrypted_command_from_future");

  pruneReplayCache(now);
  std::string replayKey(sessionId);
  replayKey += '|';
  replayKey += *replayId;
  if (replayTimes_.contains(replayKey))
    return failed("encrypted_command_replay_detected");
  const auto entry = replayByTime_.emplace(now, replayKey);
  replayTimes_.emplace(std::move(replayKey), entry);
  return std::nullopt;
}

void EncryptedCommandIntake::pruneReplayCache(Date now) {
  // Entries accepted more than the maximum age ago can no longer be replayed: their commands
  // would fail the age check first.
  const auto keepFrom = replayByTime_.lower_bound(now - maxAge);
  for (auto it = replayByTime_.begin(); it != keepFrom; ++it) {
    replayTimes_.erase(it->second);
  }
  replayByTime_.erase(replayByTime_.begin(), keepFrom);
}

}  // namespace tavolin
