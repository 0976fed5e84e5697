#include "TavolinMacAgent/Commands/CommandExecutor.hpp"

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {
namespace {

using CommandResults::failed;

}  // namespace

CommandExecutor::CommandExecutor(std::shared_ptr<TokenStore> tokenStore, const Clock& clock)
    : clock_(clock), intake_(std::move(tokenStore), clock) {}

void CommandExecutor::registerHandler(std::string type, Handler handler) {
  handlers_.insert_or_assign(std::move(type), std::move(handler));
}

Awaitable<CompleteCommandPayload> CommandExecutor::handle(std::string_view sessionId,
                                                          std::string_view type,
                                                          const JSONObject& payload) {
  if (type == TavolinSessionCrypto::encryptedCommandType) {
    co_return co_await encryptedCommand(sessionId, payload);
  }
  co_return co_await execute(type, payload);
}

Awaitable<CompleteCommandPayload> CommandExecutor::encryptedCommand(std::string_view sessionId,
                                                                    const JSONObject& payload) {
  EncryptedCommandIntake::Opened opened = intake_.open(sessionId, payload);
  if (auto* failure = std::get_if<CompleteCommandPayload>(&opened)) {
    co_return std::move(*failure);
  }
  const auto& envelope = std::get<TavolinPlainCommandEnvelope>(opened);
  if (auto refusal = intake_.admit(sessionId, envelope))
    co_return std::move(*refusal);

  CompleteCommandPayload answer = co_await execute(envelope.type, envelope.payload);
  answer.result.set("encrypted", true);
  answer.result.set("innerType", envelope.type);
  co_return answer;
}

Awaitable<CompleteCommandPayload> CommandExecutor::execute(std::string_view type,
                                                           const JSONObject& payload) {
  if (type == "benchmark_noop")
    co_return benchmarkNoop(payload);
  if (type == "custom") {
    co_return failed("custom_command_not_supported_in_v1", {{"type", "custom"}});
  }
  const auto handler = handlers_.find(std::string(type));
  if (handler == handlers_.end()) {
    co_return failed("unknown_command_type", {{"type", std::string(type)}});
  }
  try {
    co_return co_await handler->second(payload);
  } catch (const std::exception& error) {
    // A handler's own failures are results; this only catches what it did not foresee.
    co_return failed("command_failed", {{"error", CommandResults::errorDescription(error)}});
  }
}

CompleteCommandPayload CommandExecutor::benchmarkNoop(const JSONObject& payload) const {
  const JSONValue* sequence = payload.find("sequence");
  const JSONValue* requestedAt = payload.find("requestedAt");
  return CommandResults::succeeded({{"sequence", sequence ? *sequence : JSONValue(0)},
                                    {"requestedAt", requestedAt ? *requestedAt : JSONValue("")},
                                    {"completedAt", TavolinISO8601::string(clock_.now())}});
}

}  // namespace tavolin
