// Cost of one audit record on a full log, one JSON line per figure: the record() call on the
// main thread (the file is written later, on the store's queue, once per burst), and the two
// parts of that write, the serialisation and the atomic write with fsync, at the default limit
// (800) and the largest (5000). The log lives in a fresh directory under the system temporary
// directory, or under the directory given as the first argument; the first line says whether that
// is a tmpfs, where fsync costs nothing.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <sys/vfs.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
namespace fs = std::filesystem;
using Stopwatch = std::chrono::steady_clock;

constexpr long kTmpfsMagic = 0x01021994;

using bench::Figures;
using bench::figuresOf;

Figures time(int iterations, const std::function<void()>& operation) {
  std::vector<double> milliseconds;
  milliseconds.reserve(static_cast<std::size_t>(iterations));
  for (int i = 0; i < iterations; ++i) {
    const auto start = Stopwatch::now();
    operation();
    milliseconds.push_back(
        std::chrono::duration<double, std::milli>(Stopwatch::now() - start).count());
  }
  return figuresOf(std::move(milliseconds));
}

void print(const char* name, std::size_t storedEvents, int iterations, Figures figures) {
  std::printf(
      "{\"benchmark\":\"%s\",\"stored_events\":%zu,\"iterations\":%d,\"median_ms\":%.3f,"
      "\"p95_ms\":%.3f}\n",
      name, storedEvents, iterations, figures.median, figures.p95);
  std::fflush(stdout);
}

// A log of `count` events such as a busy private-mesh route leaves behind.
void seedLog(const fs::path& file, std::size_t count, Date now) {
  std::vector<SecurityAuditEvent> events;
  events.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const bool failed = i % 3 == 0;
    events.push_back({
        .id = "security_event_6F1C2D3E-4B5A-4C6D-8E7F-" + std::to_string(100000000000 + i),
        .occurredAt = TavolinISO8601::string(now - std::chrono::seconds(i)),
        .remoteAddress = "198.51.100." + std::to_string(i % 250),
        .route = failed ? "direct-internet" : "private-mesh",
        .method = failed ? "POST" : "GET",
        .path = failed ? "/v1/controllers/sessions" : "/v1/controllers/devices",
        .outcome = failed ? "auth_failed" : "authorized",
        .detail = failed ? "invalid_controller_token" : "Controller request authorized",
        .controllerId = failed ? std::nullopt
                               : std::optional<std::string>("controller_" + std::to_string(i % 7)),
    });
  }
  boost::json::object state{{"events", toJSON(events)},
                            {"blocks", boost::json::array{}},
                            {"maxEvents", static_cast<std::int64_t>(count)},
                            {"retentionDays", 90}};
  ensurePrivateDirectory(file.parent_path());
  writeFileAtomically(file, boost::json::serialize(state));
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  std::string pattern = (base / "tavolin-bench-audit-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path directory = pattern;
  struct statfs filesystem {};
  const bool tmpfs = ::statfs(directory.c_str(), &filesystem) == 0 &&
                     static_cast<long>(filesystem.f_type) == kTmpfsMagic;
  std::printf("{\"benchmark\":\"security_audit_setup\",\"directory\":\"%s\",\"tmpfs\":%s}\n",
              directory.c_str(), tmpfs ? "true" : "false");

  const SystemClock clock;
  int status = 0;
  for (const std::size_t storedEvents : {std::size_t{800}, std::size_t{5000}}) {
    const int iterations = bench::benchCount(storedEvents <= 800 ? 300 : 100);
    const fs::path file = directory / std::to_string(storedEvents) / "security-audit.json";
    seedLog(file, storedEvents, clock.now());
    // The loop never runs, so the records here are written once, when the store goes.
    boost::asio::io_context mainContext;
    SecurityAuditStore store(mainContext.get_executor(), file, clock, std::cerr,
                             {static_cast<std::int64_t>(storedEvents), 90});
    if (store.events().size() != storedEvents) {
      std::fprintf(stderr, "seeded log did not load: %zu events\n", store.events().size());
      status = 1;
      continue;
    }
    const auto recordOnce = [&] {
      const auto event = store.record({.remoteAddress = "203.0.113.9:51234",
                                       .route = "private-mesh",
                                       .method = "GET",
                                       .path = "/v1/controllers/security/events",
                                       .outcome = SecurityOutcome::authorized,
                                       .detail = "Controller request authorized",
                                       .controllerId = "controller_1"});
      benchmark::DoNotOptimize(event.id.data());
    };
    time(10, recordOnce);  // warm-up: page cache, allocator, CPU clock ramp
    print("security_audit_record", storedEvents, iterations, time(iterations, recordOnce));

    std::string text;
    print("security_audit_serialize", storedEvents, iterations, time(iterations, [&] {
            text.clear();
            store.appendPersistedText(text);
            benchmark::DoNotOptimize(text.data());
          }));
    print("security_audit_write_fsync", storedEvents, iterations,
          time(iterations, [&] { writeFileAtomically(file, text); }));
    std::printf(
        "{\"benchmark\":\"security_audit_file\",\"stored_events\":%zu,\"file_bytes\":%zu}\n",
        storedEvents, text.size());
  }
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return status;
}
