// Arbitrary bearer tokens: the parser accepts exactly the four-piece shape and gives back its
// pieces unchanged, and verification answers every UTF-8 token with a 401 code, a pinning error
// or a credential that equals one of the two secrets.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalControllerAuthenticator.hpp"

namespace {

using namespace tavolin;

constexpr std::string_view kCode = "12345678";
constexpr std::string_view kSecret = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQ";

void require(bool condition) {
  if (!condition)
    std::abort();
}

// Moves past the failure window on every input so that no input is refused for earlier ones.
class SteppingClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override { return now_; }
  std::uint64_t uptimeNanoseconds() const override { return 0; }
  void step() { now_ += std::chrono::seconds(301); }

 private:
  std::chrono::system_clock::time_point now_{std::chrono::hours(24 * 365 * 50)};
};

struct Fixture {
  MemoryTokenStore tokens;
  SteppingClock clock;
  std::ostringstream diagnostics;
  // Never run: the audit file is written once, when the fixture goes.
  boost::asio::io_context context;
  SecurityAuditStore audit{
      context.get_executor(),
      std::filesystem::temp_directory_path() / "fuzz_local_controller_token" / "audit.json", clock,
      diagnostics, SecurityAuditStore::Limits{100, 1}};
  LocalControllerAuthenticator auth{tokens, audit, clock, "agent"};

  Fixture() {
    tokens.write(kCode, TavolinTokenKey::localPairingCode);
    tokens.write(kSecret, TavolinTokenKey::directAccessSecret);
    auth.localPairingCode();
  }
};

void checkParse(std::string_view token) {
  const auto parsed = LocalControllerToken::parse(token);
  if (!parsed)
    return;
  const std::string_view kindWord =
      parsed->kind == LocalControllerAuth::Kind::localPairing ? "local" : "direct";
  require(!parsed->credential.empty() && !parsed->publicKey.empty());
  require(std::string(kindWord) + ".v1." + parsed->credential + "." + parsed->publicKey == token);
}

void checkVerification(Fixture& fixture, std::string_view token) {
  fixture.clock.step();
  LocalHTTPRequest request;
  request.method = "GET";
  request.path = "/v1/controllers/devices";
  request.headers = {{"authorization", "Bearer " + std::string(token)}};
  request.remotePeer = "192.168.1.20:51234";
  try {
    const LocalControllerAuth auth = fixture.auth.verifyController(request);
    require(auth.credential ==
            (auth.kind == LocalControllerAuth::Kind::localPairing ? kCode : kSecret));
  } catch (const LocalHTTPError& error) {
    require(error.kind() == LocalHTTPError::Kind::unauthorized ||
            error.kind() == LocalHTTPError::Kind::internalServerError);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  const std::string_view token(reinterpret_cast<const char*>(data), size);
  checkParse(token);
  // The request parser only hands on heads that are valid UTF-8.
  if (isValidUTF8(token))
    checkVerification(fixture, token);
  return 0;
}
