// Session crypto throughput on one core, one JSON line per figure: sealing and opening at three
// message sizes, command-key derivations per second, and OpenSSL's own AES-256-GCM speed at
// 16 KiB measured in the same run as the baseline for sealing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "TavolinCore/Security/TavolinSessionCrypto.hpp"

#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
using Clock = std::chrono::steady_clock;

const int kRuns = bench::benchCount(7);
constexpr auto kRunTime = std::chrono::milliseconds(200);

// Runs `operation` in batches until kRunTime has passed; returns operations per second.
double operationsPerSecond(const std::function<void()>& operation) {
  std::size_t count = 0;
  const auto start = Clock::now();
  auto now = start;
  while (now - start < kRunTime) {
    for (int i = 0; i < 16; ++i) {
      operation();
    }
    count += 16;
    now = Clock::now();
  }
  return static_cast<double>(count) / std::chrono::duration<double>(now - start).count();
}

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

double medianOperationsPerSecond(const std::function<void()>& operation) {
  operationsPerSecond(operation);  // warm-up: page faults, lazy fetches, CPU clock ramp
  std::vector<double> rates;
  for (int run = 0; run < kRuns; ++run) {
    rates.push_back(operationsPerSecond(operation));
  }
  return median(std::move(rates));
}

// OpenSSL's AES-256-GCM figure for 16 KiB blocks in MB/s, or a negative value when the tool is
// missing or its table cannot be read. The table gives thousands of bytes per second.
double opensslSealMegabytesPerSecond() {
  FILE* pipe = popen("openssl speed -evp aes-256-gcm -bytes 16384 -seconds 1 2>/dev/null", "r");
  if (pipe == nullptr) {
    return -1;
  }
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  pclose(pipe);
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("AES-256-GCM", 0) != 0) {
      continue;
    }
    std::istringstream fields(line.substr(std::string("AES-256-GCM").size()));
    std::string figure;
    if (fields >> figure && !figure.empty() && figure.back() == 'k') {
      return std::strtod(figure.c_str(), nullptr) / 1000.0;
    }
  }
  return -1;
}

}  // namespace

int main() {
  const SymmetricKey key(secureRandomBytes(32));

  for (std::size_t bytes : {1024u, 16384u, 65536u}) {
    const Bytes plaintext = secureRandomBytes(bytes);
    const double sealRate = medianOperationsPerSecond([&] {
      Bytes sealed = TavolinSessionCrypto::encryptCommand(plaintext, key);
      benchmark::DoNotOptimize(sealed.data());
    });
    std::printf("{\"benchmark\":\"seal\",\"bytes\":%zu,\"median_mb_per_s\":%.1f}\n", bytes,
                sealRate * static_cast<double>(bytes) / 1e6);

    const Bytes sealed = TavolinSessionCrypto::encryptCommand(plaintext, key);
    const double openRate = medianOperationsPerSecond([&] {
      Bytes opened = TavolinSessionCrypto::decryptCommand(sealed, key);
      benchmark::DoNotOptimize(opened.data());
    });
    std::printf("{\"benchmark\":\"open\",\"bytes\":%zu,\"median_mb_per_s\":%.1f}\n", bytes,
                openRate * static_cast<double>(bytes) / 1e6);
    std::fflush(stdout);
  }

  const P256PrivateKey device = P256PrivateKey::generate();
  const std::string controllerKey =
      base64URLEncode(P256PrivateKey::generate().publicKey().rawRepresentation());
  const double derivations = medianOperationsPerSecond([&] {
    SymmetricKey derived =
        TavolinSessionCrypto::commandSymmetricKey(device, controllerKey, "session-bench");
    benchmark::DoNotOptimize(derived.bytes().data());
  });
  std::printf("{\"benchmark\":\"command_key_derivation\",\"median_per_s\":%.0f}\n", derivations);
  std::fflush(stdout);

  // Our 16 KiB sealing and OpenSSL's figure alternate, so that load from other processes hits
  // both sides of the ratio alike.
  const Bytes plaintext = secureRandomBytes(16384);
  std::vector<double> ours;
  std::vector<double> theirs;
  for (int round = 0; round < 3; ++round) {
    ours.push_back(medianOperationsPerSecond([&] {
                     Bytes sealed = TavolinSessionCrypto::encryptCommand(plaintext, key);
                     benchmark::DoNotOptimize(sealed.data());
                   }) *
                   16384 / 1e6);
    const double figure = opensslSealMegabytesPerSecond();
    if (figure <= 0) {
      std::printf(
          "{\"benchmark\":\"openssl_speed_aes_256_gcm\",\"bytes\":16384,\"skipped\":true}\n");
      return 0;
    }
    theirs.push_back(figure);
  }
  std::printf(
      "{\"benchmark\":\"openssl_speed_aes_256_gcm\",\"bytes\":16384,\"median_mb_per_s\":%.1f}\n",
      median(theirs));
  std::printf(
      "{\"benchmark\":\"seal_vs_openssl\",\"bytes\":16384,\"seal_median_mb_per_s\":%.1f,"
      "\"ratio\":%.3f}\n",
      median(ours), median(ours) / median(theirs));
  return 0;
}
