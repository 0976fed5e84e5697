#pragma once

#include <chrono>
#include <functional>
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
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinCore/Security/TokenStore.hpp"

namespace tavolin {

// Turns a controller's command into an action on this computer, whichever route it came by
// (hosted poll, local HTTP, data channel). Encrypted commands are opened, checked for session,
// age and replay, then dispatched by type; every outcome is a CompleteCommandPayload, and a
// failure always carries `result.reason`. Nothing is thrown to callers.
//
// Confined to the main actor: its caches and handlers are touched only there.
class CommandExecutor {
 public:
  // A handler answers one command type; it runs on the main actor and may await.
  using Handler = std::function<Awaitable<CompleteCommandPayload>(const JSONObject& payload)>;

  static constexpr std::chrono::seconds encryptedCommandMaxAge{120};
  static constexpr std::chrono::seconds encryptedCommandFutureSkew{30};

  // Without a token store every encrypted command is refused.
  CommandExecutor(std::shared_ptr<TokenStore> tokenStore, const Clock& clock);

  // Adds the handler of a command type. Types are compared exactly (case-sensitive); a type
  // with no handler answers "unknown_command_type".
  void registerHandler(std::string type, Handler handler);

  // The route rule every caller applies: "encrypted_command" goes through the encrypted
  // intake for `sessionId`; anything else is dispatched as it is.
  Awaitable<CompleteCommandPayload> handle(std::string_view sessionId, std::string_view type,
                                           const JSONObject& payload);

  // `sessionId` is the session the command arrived over; `payload` the outer payload.
  Awaitable<CompleteCommandPayload> encryptedCommand(std::string_view sessionId,
                                                     const JSONObject& payload);

  Awaitable<CompleteCommandPayload> execute(std::string_view type, const JSONObject& payload);

  std::size_t replayCacheSize() const { return replayTimes_.size(); }

 private:
  // The opened envelope, or the failure that ends the command.
  using Opened = std::variant<TavolinPlainCommandEnvelope, CompleteCommandPayload>;

  Opened open(std::string_view sessionId, const JSONObject& payload);
  std::optional<CompleteCommandPayload> admit(std::string_view sessionId,
                                              const TavolinPlainCommandEnvelope& envelope);
  const TavolinSessionCommandCrypto& commandCrypto(std::string_view sessionId,
                                                   std::string_view senderPublicKey);
  void pruneReplayCache(Date now);
  CompleteCommandPayload benchmarkNoop(const JSONObject& payload) const;

  std::shared_ptr<TokenStore> tokenStore_;
  const Clock& clock_;
  std::unordered_map<std::string, Handler> handlers_;

  std::optional<DeviceIdentity> cachedIdentity_;
  std::optional<TavolinSessionCommandCrypto> cachedCommandCrypto_;
  std::string cachedCommandCryptoContextKey_;

  // Replay ids ("session|id") with the time they were accepted. Ordered by time as well, so
  // pruning touches only the entries it removes.
  std::unordered_map<std::string, std::multimap<Date, std::string>::iterator> replayTimes_;
  std::multimap<Date, std::string> replayByTime_;
};

}  // namespace tavolin
