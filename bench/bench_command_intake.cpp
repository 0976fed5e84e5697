// Encrypted "benchmark_noop" commands per second through the command intake with a warm key
// cache, and where that time goes: Base64, AES-GCM opening and envelope JSON, each measured
// alone over the same commands. One JSON line per figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"

#include "bench/BenchController.hpp"
#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
using Clock = std::chrono::steady_clock;

const int kCommands = bench::benchCount(50'000);
const int kRuns = bench::benchCount(7);

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <class Body>
double secondsOf(Body&& body) {
  const auto start = Clock::now();
  body();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  auto store = std::make_shared<MemoryTokenStore>();
  const DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  const bench::BenchController controller(agent.publicKeyBase64URL(), "session");
  SystemClock systemClock;

  std::vector<double> rates, base64Shares, openShares, jsonShares;
  for (int run = 0; run < kRuns; ++run) {
    // Fresh ids each run: the replay cache must accept them all.
    std::vector<JSONObject> payloads;
    std::vector<std::string> plaintexts;
    const std::string sentAt = TavolinISO8601::string(systemClock.now());
    for (int i = 0; i < kCommands; ++i) {
      TavolinPlainCommandEnvelope envelope{.type = "benchmark_noop",
                                           .payload = {{"sequence", i}, {"requestedAt", sentAt}},
                                           .sessionId = "session",
                                           .commandId = makeIdentifier("cmd_"),
                                           .sentAt = sentAt};
      plaintexts.push_back(encodeJSON(envelope));
      payloads.push_back(controller.seal(plaintexts.back()));
    }
    CommandExecutor executor(store, systemClock);
    asio::io_context context;
    int succeeded = 0;
    const double total = secondsOf([&] {
      asio::co_spawn(
          context,
          [&]() -> Awaitable<void> {
            for (const JSONObject& payload : payloads) {
              const auto answer = co_await executor.encryptedCommand("session", payload);
              succeeded += answer.status == "succeeded";
            }
          },
          asio::detached);
      context.run();
    });
    if (succeeded != kCommands) {
      std::fprintf(stderr, "only %d of %d commands succeeded\n", succeeded, kCommands);
      return 1;
    }
    std::vector<Bytes> sealed;
    const double base64 = secondsOf([&] {
      for (const JSONObject& payload : payloads) {
        sealed.push_back(*base64Decode(*payload.find("commandBase64")->string()));
      }
    });
    const double open = secondsOf([&] {
      for (const Bytes& bytes : sealed)
        controller.crypto().decrypt(bytes);
    });
    const double json = secondsOf([&] {
      for (const std::string& text : plaintexts)
        decodeJSON<TavolinPlainCommandEnvelope>(text);
    });
    rates.push_back(kCommands / total);
    base64Shares.push_back(base64 / total);
    openShares.push_back(open / total);
    jsonShares.push_back(json / total);
  }
  std::printf(
      "{\"benchmark\":\"encrypted_command_intake\",\"command\":\"benchmark_noop\","
      "\"median_per_s\":%.0f,\"goal_per_s\":50000,\"ratio_to_goal\":%.2f}\n",
      median(rates), median(rates) / 50000.0);
  std::printf(
      "{\"benchmark\":\"encrypted_command_intake_split\",\"base64_share\":%.3f,"
      "\"aes_gcm_open_share\":%.3f,\"envelope_json_share\":%.3f,\"rest_share\":%.3f}\n",
      median(base64Shares), median(openShares), median(jsonShares),
      1.0 - median(base64Shares) - median(openShares) - median(jsonShares));
  return 0;
}
