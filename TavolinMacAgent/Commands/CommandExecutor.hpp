#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Security/TokenStore.hpp"
#include "TavolinMacAgent/Commands/EncryptedCommandIntake.hpp"

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

  std::size_t replayCacheSize() const { return intake_.replayCacheSize(); }

 private:
  CompleteCommandPayload benchmarkNoop(const JSONObject& payload) const;

  const Clock& clock_;
  EncryptedCommandIntake intake_;
  std::unordered_map<std::string, Handler> handlers_;
};

}  // namespace tavolin
