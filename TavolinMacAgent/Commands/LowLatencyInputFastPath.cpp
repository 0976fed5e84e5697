#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"

#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/EncryptedCommandIntake.hpp"
#include "TavolinMacAgent/Commands/InputCommands.hpp"

namespace tavolin {
namespace {

bool isNonEmptyString(const JSONObject& payload, std::string_view key) {
  const std::string* value = CommandPayload::string(payload, key);
  return value != nullptr && !value->empty();
}

}  // namespace

struct LowLatencyInputFastPath::State {
  State(std::shared_ptr<TokenStore> tokenStore, const Clock& clock,
        std::shared_ptr<InputInjector> injector, std::shared_ptr<DisplayGeometry> geometry)
      : intake(std::move(tokenStore), clock),
        injector(std::move(injector)),
        geometry(std::move(geometry)) {}

  void handle(const TavolinDirectCommandMessage& message) {
    const JSONObject& payload = message.payload;
    for (const std::string_view key :
         {"encryption", "contentFormat", "senderPublicKey", "commandBase64"}) {
      if (!isNonEmptyString(payload, key))
        return;
    }
    auto opened = intake.open(message.sessionId, payload);
    const auto* envelope = std::get_if<TavolinPlainCommandEnvelope>(&opened);
    if (envelope == nullptr || envelope->sessionId != message.sessionId)
      return;
    const bool move = envelope->type == "pointer_move";
    if (!move && envelope->type != "scroll")
      return;
    if (intake.admit(message.sessionId, *envelope))
      return;
    if (accessibilityRefusal(*injector))
      return;
    if (move)
      pointerMoveCommand(*injector, *geometry, envelope->payload);
    else
      scrollCommand(*injector, envelope->payload);
  }

  EncryptedCommandIntake intake;
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<DisplayGeometry> geometry;
};

LowLatencyInputFastPath::LowLatencyInputFastPath(std::shared_ptr<TokenStore> tokenStore,
                                                 const Clock& clock,
                                                 std::shared_ptr<InputInjector> injector,
                                                 std::shared_ptr<DisplayGeometry> geometry)
    : state_(std::make_shared<State>(std::move(tokenStore), clock, std::move(injector),
                                     std::move(geometry))),
      queue_("app.tavolin.agent.low-latency-input-fast-path") {}

LowLatencyInputFastPath::~LowLatencyInputFastPath() {
  queue_.stop();
}

bool LowLatencyInputFastPath::enqueueIfSupported(std::string_view data) {
  TavolinDirectCommandMessage message;
  try {
    message = decodeJSON<TavolinDirectCommandMessage>(data);
  } catch (const JSONDecodingError&) {
    return false;
  }
  if (message.type != TavolinDataChannelMessageType::command ||
      message.commandType != TavolinSessionCrypto::encryptedCommandType || message.expectsResult ||
      !(message.idempotencyKey.starts_with("pointer_move-") ||
        message.idempotencyKey.starts_with("scroll-"))) {
    return false;
  }
  queue_.post([weakState = std::weak_ptr<State>(state_), message = std::move(message)] {
    if (const auto state = weakState.lock())
      state->handle(message);
  });
  return true;
}

}  // namespace tavolin
