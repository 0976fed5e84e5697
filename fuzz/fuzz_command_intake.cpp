// Feeds arbitrary bytes to the encrypted command intake, two ways: as the outer JSON payload,
// and as the plaintext of a correctly sealed command, so that envelope decoding and every
// admission check see hostile input. Whatever comes in, the executor must answer with a result
// and never throw.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"

namespace {

using namespace tavolin;

struct Fixture {
  std::shared_ptr<MemoryTokenStore> store = std::make_shared<MemoryTokenStore>();
  SystemClock clock;
  CommandExecutor executor{store, clock};
  DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  P256PrivateKey controller = P256PrivateKey::generate();
  std::string controllerKey = base64URLEncode(controller.publicKey().rawRepresentation());
  SymmetricKey commandKey =
      TavolinSessionCrypto::commandSymmetricKey(controller, agent.publicKeyBase64URL(), "S");
};

void answer(Fixture& fixture, const JSONObject& payload) {
  asio::io_context context;
  auto result =
      asio::co_spawn(context, fixture.executor.encryptedCommand("S", payload), asio::use_future);
  context.run();
  const CompleteCommandPayload answer = result.get();  // rethrows anything that escaped
  if (answer.status != "succeeded" && answer.result.find("reason") == nullptr)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (size == 0)
    return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    try {
      const JSONValue outer = JSONValue::parse(text);
      if (const JSONObject* payload = outer.object())
        answer(fixture, *payload);
    } catch (const JSONDecodingError&) {
    }
    return 0;
  }
  const Bytes sealed = TavolinSessionCrypto::encryptCommand(byteSpan(text), fixture.commandKey);
  answer(fixture, JSONObject{{"encryption", "p256-hkdf-sha256-aes-gcm"},
                             {"contentFormat", "tavolin-command-v1+json"},
                             {"senderPublicKey", fixture.controllerKey},
                             {"commandBase64", base64Encode(sealed)}});
  return 0;
}
