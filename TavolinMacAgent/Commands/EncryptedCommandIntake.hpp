#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// Opens a controller's encrypted command and checks it for session, age and replay. Keeps one
// derived key (for the last session and sender) and its own replay cache, so each path that
// takes encrypted commands owns one and touches it from one thread only.
class EncryptedCommandIntake {
 public:
  static constexpr std::chrono::seconds maxAge{120};
  static constexpr std::chrono::seconds futureSkew{30};

  // The opened envelope, or the failure that ends the command.
  using Opened = std::variant<TavolinPlainCommandEnvelope, CompleteCommandPayload>;

  // Without a token store every command is refused.
  EncryptedCommandIntake(std::shared_ptr<TokenStore> tokenStore, const Clock& clock);

  // `sessionId` is the session the command arrived over; `payload` the outer payload.
  Opened open(std::string_view sessionId, const JSONObject& payload);
  // Session, replay id, age and replay checks; an admitted command is recorded against replay.
  std::optional<CompleteCommandPayload> admit(std::string_view sessionId,
                                              const TavolinPlainCommandEnvelope& envelope);

  std::size_t replayCacheSize() const { return replayTimes_.size(); }

 private:
  const TavolinSessionCommandCrypto& commandCrypto(std::string_view sessionId,
                                                   std::string_view senderPublicKey);
  void pruneReplayCache(Date now);

  std::shared_ptr<TokenStore> tokenStore_;
  const Clock& clock_;

  std::optional<DeviceIdentity> cachedIdentity_;
  std::optional<TavolinSessionCommandCrypto> cachedCommandCrypto_;
  std::string cachedCommandCryptoContextKey_;

  // Replay ids ("session|id") with the time they were accepted. Ordered by time as well, so
  // pruning touches only the entries it removes.
  std::unordered_map<std::string, std::multimap<Date, std::string>::iterator> replayTimes_;
  std::multimap<Date, std::string> replayByTime_;
};

}  // namespace tavolin
