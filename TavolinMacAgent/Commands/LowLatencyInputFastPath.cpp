#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"

#include <atomic>
#include <optional>

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
    waiting.fetch_sub(1);
    if (const auto envelope = admitted(message)) {
      if (envelope->type == "pointer_move") {
        const auto deltaX = CommandPayload::real(envelope->payload, "deltaX");
        const auto deltaY = CommandPayload::real(envelope->payload, "deltaY");
        if (deltaX && deltaY) {
          pendingMove.x += *deltaX;
          pendingMove.y += *deltaY;
        }
      } else {
        // A scroll lands where the pointer is: the moves before it go first.
        flushMove();
        scrollCommand(*injector, envelope->payload);
      }
    }
    // Moves that piled up while the queue was behind go out as one, so a slow moment never
    // replays a stale path.
    if (waiting.load() == 0)
      flushMove();
  }

  std::optional<TavolinPlainCommandEnvelope> admitted(const TavolinDirectCommandMessage& message) {
    const JSONObject& payload = message.payload;
    for (const std::string_view key :
         {"encryption", "contentFormat", "senderPublicKey", "commandBase64"}) {
      if (!isNonEmptyString(payload, key))
        return std::nullopt;
    }
    auto opened = intake.open(message.sessionId, payload);
    auto* envelope = std::get_if<TavolinPlainCommandEnvelope>(&opened);
    if (envelope == nullptr || envelope->sessionId != message.sessionId ||
        (envelope->type != "pointer_move" && envelope->type != "scroll") ||
        intake.admit(message.sessionId, *envelope) || accessibilityRefusal(*injector)) {
      return std::nullopt;
    }
    return std::move(*envelope);
  }

  void flushMove() {
    if (pendingMove.x != 0 || pendingMove.y != 0)
      movePointerBy(*injector, *geometry, pendingMove.x, pendingMove.y);
    pendingMove = {};
  }

  EncryptedCommandIntake intake;
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<DisplayGeometry> geometry;
  // Messages posted to the queue and not yet handled.
  std::atomic<int> waiting{0};
  // The sum of the admitted moves not yet injected; touched on the queue only.
  Point pendingMove{};
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
  state_->waiting.fetch_add(1);
  queue_.post([weakState = std::weak_ptr<State>(state_), message = std::move(message)] {
    if (const auto state = weakState.lock())
      state->handle(message);
  });
  return true;
}

}  // namespace tavolin
