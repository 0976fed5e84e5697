#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ManualClock;
using testing::TemporaryDirectory;
using Limits = SecurityAuditStore::Limits;

constexpr Limits kDefaultLimits{800, 90};

// One store's surroundings: a file two directories down, a manual clock, captured diagnostics,
// and a loop standing in for the main thread that runs only when a test drives it.
struct Harness {
  TemporaryDirectory directory;
  fs::path file = directory.path() / "Tavolin" / "data" / "security-audit.json";
  ManualClock clock;
  std::ostringstream diagnostics;
  asio::io_context context;

  std::unique_ptr<SecurityAuditStore> open(Limits limits = kDefaultLimits) {
    return std::make_unique<SecurityAuditStore>(context.get_executor(), file, clock, diagnostics,
                                                limits);
  }

  // Starts a flush and runs the loop just long enough for its write to be handed over.
  void startFlush(SecurityAuditStore& store) {
    asio::co_spawn(context, store.flush(), asio::detached);
    context.restart();
    context.poll();
  }

  void flush(SecurityAuditStore& store) {
    const auto done = std::make_shared<bool>(false);
    asio::co_spawn(context, store.flush(), [done](const std::exception_ptr&) { *done = true; });
    context.restart();
    for (int turn = 0; turn < 400 && !*done; ++turn)
      context.run_one_for(50ms);
    ASSERT_TRUE(*done);
  }

  std::string at(std::chrono::system_clock::duration offset) const {
    return TavolinISO8601::string(clock.now() + offset);
  }

  SecurityAuditEvent event(int number, std::string occurredAt) const {
    return {.id = "security_event_" + std::to_string(number),
            .occurredAt = std::move(occurredAt),
            .remoteAddress = "203.0.113.9",
            .route = "private-mesh",
            .method = "GET",
            .path = "/v1/controllers/devices",
            .outcome = "authorized"};
  }

  // `count` events one second apart, newest (number count - 1) first.
  std::vector<SecurityAuditEvent> events(int count) const {
    std::vector<SecurityAuditEvent> out;
    for (int number = count - 1; number >= 0; --number) {
      out.push_back(event(number, at(std::chrono::seconds(number - count))));
    }
    return out;
  }

  void writeState(const std::vector<SecurityAuditEvent>& events,
                  const std::vector<SecurityBlock>& blocks,
                  std::optional<std::int64_t> maxEvents = std::nullopt,
                  std::optional<std::int64_t> retentionDays = std::nullopt) {
    boost::json::object state{{"events", toJSON(events)}, {"blocks", toJSON(blocks)}};
    if (maxEvents)
      state["maxEvents"] = *maxEvents;
    if (retentionDays)
      state["retentionDays"] = *retentionDays;
    writeRaw(boost::json::serialize(state));
  }

  void writeRaw(const std::string& contents) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
  }
};

fs::perms modeOf(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

// Counts the renames onto one file, which is one per atomic write, as the kernel reports them.
class RenameCounter {
 public:
  explicit RenameCounter(const fs::path& file)
      : name_(file.filename().string()), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(fd_, file.parent_path().c_str(), IN_MOVED_TO), 0);
  }
  ~RenameCounter() { ::close(fd_); }
  RenameCounter(const RenameCounter&) = delete;
  RenameCounter& operator=(const RenameCounter&) = delete;

  // The renames reported since the last call.
  int take() {
    int renames = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t length; (length = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        if (event->len > 0 && name_ == event->name)
          ++renames;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return renames;
  }

 private:
  std::string name_;
  int fd_;
};

TEST(SecurityAuditStore, Reopen_RestoresEverythingFromAPrivateSortedPrettyFile) {
  Harness harness;
  fs::create_directories(harness.file.parent_path());
  fs::permissions(harness.file.parent_path(), fs::perms(0755));
  auto store = harness.open();
  const auto first = store->record({.remoteAddress = " 198.51.100.7:5123 ",
                                    .route = "private-mesh",
                                    .method = "POST",
                                    .path = "/v1/controllers/sessions",
                                    .outcome = SecurityOutcome::sessionStarted,
                                    .detail = "Controller session started",
                                    .controllerId = "controller-1",
                                    .sessionId = "local_session_1"});
  EXPECT_EQ(first.remoteAddress, "198.51.100.7");
  EXPECT_EQ(first.occurredAt, harness.at(0s));
  harness.clock.advance(1s);
  store->block("2001:db8::5", 3600, "test");
  store->updateRetention(200, 30);
  harness.flush(*store);

  EXPECT_EQ(modeOf(harness.file.parent_path()), fs::perms::owner_all);
  EXPECT_EQ(modeOf(harness.file), fs::perms::owner_read | fs::perms::owner_write);
  const auto text = readFileIfExists(harness.file).value();
  EXPECT_EQ(text, store->persistedText());
  EXPECT_TRUE(text.starts_with("{\n  \"blocks\": [\n    {\n      \"blockedAt\": ")) << text;
  EXPECT_NE(text.find("\n  \"maxEvents\": 200,\n  \"retentionDays\": 30\n}"), std::string::npos);

  const auto reopened = harness.open({5000, 365});
  EXPECT_EQ(reopened->events(), store->events());
  EXPECT_EQ(reopened->events().size(), 2u);
  EXPECT_EQ(reopened->events().back(), first);
  EXPECT_EQ(reopened->blocks(), store->blocks());
  EXPECT_EQ(reopened->retention(), (SecurityRetentionPolicy{200, 30}));
}

TEST(SecurityAuditStore, Persistence_EveryChangeReachesTheFileAlsoMidWriteAndOnDestruction) {
  Harness harness;
  auto store = harness.open();
  const auto reopenedEvents = [&] { return harness.open()->events(); };
  const auto record = [&](const char* address) {
    store->record({.remoteAddress = address, .outcome = SecurityOutcome::authorized});
  };

  // Left alone, the change goes out after the delay.
  record("10.0.0.1");
  EXPECT_FALSE(fs::exists(harness.file)) << "written later, not inside the operation";
  {
    // Keeps the loop waiting while the write is on the queue, with nothing here to run.
    const auto busy = asio::make_work_guard(harness.context);
    for (int turn = 0; turn < 200 && !fs::exists(harness.file); ++turn)
      harness.context.run_one_for(50ms);
  }
  EXPECT_EQ(reopenedEvents(), store->events());

  // A change made while a write is in flight gets a write of its own.
  record("10.0.0.2");
  harness.startFlush(*store);
  record("10.0.0.3");
  harness.flush(*store);
  EXPECT_EQ(reopenedEvents(), store->events());
  EXPECT_EQ(reopenedEvents().size(), 3u);

  // Destruction waits for the write in flight, then writes what came after it.
  record("10.0.0.4");
  harness.startFlush(*store);
  store->block("10.0.0.5", std::nullopt, std::nullopt);
  const auto events = store->events();
  store.reset();
  const auto reopened = harness.open();
  EXPECT_EQ(reopened->events(), events);
  EXPECT_TRUE(reopened->activeBlock("10.0.0.5"));
}

TEST(SecurityAuditStore, Flood_FoldsIntoOneCountedEventThatSparesTheOthersAndIsWrittenOnce) {
  Harness harness;
  auto store = harness.open({100, 90});
  store->record(
      {.remoteAddress = "198.51.100.7", .route = "private-mesh", .outcome = "authorized"});
  harness.flush(*store);
  RenameCounter renames(harness.file);
  const auto refuse = [&](std::string address, const char* path) {
    return store->record({.remoteAddress = address,
                          .route = "direct-internet",
                          .method = "POST",
                          .path = path,
                          .outcome = SecurityOutcome::authFailed,
                          .detail = "invalid_controller_token"});
  };
  const auto first = refuse("203.0.113.9:40000", "/v1/controllers/sessions");
  for (int number = 1; number < 2000; ++number) {
    // Other peers now and then; the flood moves a second on each time, past the fold window.
    if (number % 500 == 0)
      refuse("192.0.2." + std::to_string(number / 500), "/v1/controllers/devices");
    harness.clock.advance(1s);
    refuse("203.0.113.9:" + std::to_string(40000 + number), "/v1/controllers/devices");
  }

  ASSERT_EQ(store->events().size(), 5u) << "no one else was pushed out";
  const auto& flood = store->events().front();
  EXPECT_EQ(flood.count, 2000);
  EXPECT_EQ(std::tie(flood.id, flood.path, flood.remoteAddress),
            std::tie(first.id, first.path, first.remoteAddress));
  EXPECT_EQ(flood.occurredAt, harness.at(0s));
  EXPECT_EQ(store->events()[1].remoteAddress, "192.0.2.3");
  EXPECT_EQ(store->events()[1].count, std::nullopt);
  EXPECT_EQ(store->events().back().outcome, "authorized");
  harness.flush(*store);
  EXPECT_EQ(renames.take(), 1) << "one write for the whole burst";
  EXPECT_EQ(harness.open()->events(), store->events());
}

TEST(SecurityAuditStore, Fold_OnlyTheSameRefusalFromTheSameAddressWithinTheWindow) {
  Harness harness;
  auto store = harness.open();
  const auto record = [&](std::string_view outcome, std::string_view detail,
                          std::string_view route = "private-mesh",
                          std::string_view address = "[2001:DB8::1]:443") {
    return store->record(
        {.remoteAddress = address, .route = route, .outcome = outcome, .detail = detail});
  };
  const auto single = record(SecurityOutcome::blocked, "Blocked forever");
  EXPECT_FALSE(toJSON(single).as_object().contains("count")) << "absent means one";
  harness.clock.advance(SecurityAuditStore::foldWindow);
  EXPECT_EQ(
      record(SecurityOutcome::blocked, "Blocked forever", "private-mesh", "2001:db8::1").count, 2)
      << "at the edge of the window, and matched by normalized address";
  EXPECT_NE(encodeJSON(store->events().front()).find("\"count\":2"), std::string::npos);
  harness.clock.advance(SecurityAuditStore::foldWindow + 1ms);
  EXPECT_EQ(record(SecurityOutcome::blocked, "Blocked forever").count, std::nullopt);

  EXPECT_EQ(record(SecurityOutcome::rateLimited, "too_many_auth_failures").count, std::nullopt);
  EXPECT_EQ(record(SecurityOutcome::rateLimited, "too_many_auth_failures").count, 2);
  EXPECT_EQ(record(SecurityOutcome::rateLimited, "too_many_web_pairing_failures").count,
            std::nullopt);
  EXPECT_EQ(record(SecurityOutcome::rateLimited, "too_many_auth_failures", "direct-internet").count,
            std::nullopt);
  for (const auto outcome : {SecurityOutcome::authorized, SecurityOutcome::webPaired}) {
    record(outcome, "same");
    EXPECT_EQ(record(outcome, "same").count, std::nullopt) << outcome;
  }
  EXPECT_EQ(store->events().size(), 9u);
}

TEST(SecurityAuditStore, UnusableFile_StartsEmptyWithGivenLimitsAndIsReplacedOnNextWrite) {
  const std::vector<std::string> contents{
      "not json",
      "[]",
      R"({"events": [], "blocks": {}})",
      R"({"events": [{"id": 1}], "blocks": []})",
      R"({"events": [], "blocks": [], "maxEvents": "many"})",
  };
  for (const auto& content : contents) {
    Harness harness;
    harness.writeRaw(content);
    auto store = harness.open({300, 7});
    EXPECT_TRUE(store->events().empty()) << content;
    EXPECT_EQ(store->retention(), (SecurityRetentionPolicy{300, 7})) << content;
    store->record({.remoteAddress = "10.0.0.1", .outcome = SecurityOutcome::authorized});
    store.reset();
    EXPECT_EQ(harness.open()->events().size(), 1u) << content;
    EXPECT_TRUE(harness.diagnostics.str().empty());
  }
}

TEST(SecurityAuditStore, Load_ClampsStoredLimitsAndCutsEventsToMaxEvents) {
  Harness harness;
  harness.writeState(harness.events(150), {}, 99999, 1000);
  EXPECT_EQ(harness.open()->retention(), (SecurityRetentionPolicy{5000, 365}));

  harness.writeState(harness.events(150), {}, -3, 0);
  auto store = harness.open();
  EXPECT_EQ(store->retention(), (SecurityRetentionPolicy{100, 1}));
  ASSERT_EQ(store->events().size(), 100u);
  EXPECT_EQ(store->events().front().id, "security_event_149");
  EXPECT_EQ(store->events().back().id, "security_event_50");

  // Without stored limits the given ones hold, clamped too.
  harness.writeState(harness.events(3), {});
  EXPECT_EQ(harness.open({1, 9999})->retention(), (SecurityRetentionPolicy{100, 365}));
}

TEST(SecurityAuditStore, UpdateRetention_ClampsDropsTheOldestAndRewritesTheFile) {
  Harness harness;
  harness.writeState(harness.events(150), {});
  auto store = harness.open();
  int changes = 0;
  store->setOnChange([&](const SecurityAuditResponse& snapshot) {
    ++changes;
    EXPECT_EQ(snapshot.retention, store->retention());
  });

  EXPECT_EQ(store->updateRetention(100, std::nullopt), (SecurityRetentionPolicy{100, 90}));
  EXPECT_EQ(changes, 1);
  harness.flush(*store);
  const auto reopened = harness.open();
  ASSERT_EQ(reopened->events().size(), 100u);
  EXPECT_EQ(reopened->events().back().id, "security_event_50");
  EXPECT_EQ(reopened->retention(), (SecurityRetentionPolicy{100, 90}));

  EXPECT_EQ(store->updateRetention(99999, -4), (SecurityRetentionPolicy{5000, 1}));
  EXPECT_EQ(store->updateRetention(std::nullopt, 400), (SecurityRetentionPolicy{5000, 365}));
  EXPECT_EQ(store->updateRetention(std::nullopt, std::nullopt),
            (SecurityRetentionPolicy{5000, 365}));
}

TEST(SecurityAuditStore, AgePruning_DropsOnlyParsableTimesBeforeTheCutoff) {
  Harness harness;
  const auto retention = std::chrono::days(90);
  harness.writeState(
      {
          harness.event(1, harness.at(-retention)),  // exactly at the cutoff: kept
          harness.event(2, "yesterday"),
          harness.event(3, harness.at(-retention - 1ms)),
          harness.event(4, "2000-01-01T00:00:00Z"),
      },
      {});
  auto store = harness.open();
  std::vector<std::string> ids;
  for (const auto& event : store->events())
    ids.push_back(event.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"security_event_1", "security_event_2"}));

  int changes = 0;
  store->setOnChange([&](const SecurityAuditResponse&) { ++changes; });
  const auto seeded = readFileIfExists(harness.file);
  store->pruneEvents(true);
  EXPECT_EQ(changes, 0);
  harness.flush(*store);
  EXPECT_EQ(readFileIfExists(harness.file), seeded) << "nothing changed, nothing written";
  harness.clock.advance(1ms);
  store->pruneEvents(true);
  EXPECT_EQ(changes, 1);
  harness.flush(*store);
  ASSERT_EQ(harness.open()->events().size(), 1u);
  EXPECT_EQ(harness.open()->events().front().occurredAt, "yesterday");
  // Events recorded since age too.
  store->record({.remoteAddress = "10.0.0.1", .outcome = SecurityOutcome::authorized});
  harness.clock.advance(retention + 1ms);
  store->pruneEvents(true);
  EXPECT_EQ(store->events().size(), 1u);

  // The count limit still applies to an unparsable time.
  std::vector<SecurityAuditEvent> events = harness.events(100);
  events.push_back(harness.event(100, "not a time"));
  harness.writeState(events, {}, 100);
  EXPECT_EQ(harness.open()->events().back().id, "security_event_0");
}

TEST(SecurityAuditStore, Block_CountsUntilNotAtItsExpiryAndWithoutADurationForever) {
  Harness harness;
  auto store = harness.open();
  for (const auto duration : {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
                              std::optional<std::int64_t>(-5)}) {
    EXPECT_EQ(store->block("198.51.100.7", duration, "menu").expiresAt, std::nullopt);
    EXPECT_EQ(store->events().front().detail, "Blocked forever");
  }
  const auto block = store->block("203.0.113.9:443", 60, std::nullopt);
  EXPECT_EQ(block.expiresAt, harness.at(60s));
  const auto& event = store->events().front();
  EXPECT_EQ(event.detail, "Blocked until " + harness.at(60s));
  EXPECT_EQ(std::tie(event.remoteAddress, event.route, event.method, event.path, event.outcome),
            std::tie("203.0.113.9", "security-monitor", "POST", "/v1/controllers/security/blocks",
                     SecurityOutcome::blockAdded));

  harness.clock.advance(59999ms);
  EXPECT_EQ(store->activeBlock("203.0.113.9"), block);
  harness.clock.advance(1ms);
  EXPECT_EQ(store->activeBlock("203.0.113.9"), std::nullopt);
  EXPECT_EQ(store->activeBlocks().size(), 1u);
  EXPECT_EQ(store->blocks().size(), 2u) << "at, not yet before, its expiry";

  harness.clock.advance(1ms);
  int changes = 0;
  store->setOnChange([&](const SecurityAuditResponse&) { ++changes; });
  store->pruneExpiredBlocks(true);
  store->pruneExpiredBlocks(true);
  EXPECT_EQ(changes, 1);
  harness.flush(*store);
  EXPECT_EQ(harness.open()->blocks().size(), 1u);

  // An absurd duration still gives a time that parses and lies in the future, also late.
  for (const auto years : {0, 200}) {
    harness.clock.advance(std::chrono::days(365 * years));
    EXPECT_TRUE(store->activeBlock("198.51.100.7:1"));
    const auto longest = store->block("203.0.113.10", INT64_MAX, std::nullopt);
    EXPECT_GT(TavolinISO8601::date(longest.expiresAt.value()),
              harness.clock.now() + std::chrono::years(30));
  }
}

TEST(SecurityAuditStore, BlockAndUnblock_KeepOneBlockPerNormalizedAddress) {
  Harness harness;
  auto store = harness.open();
  store->block("203.0.113.9:443", 60, "first");
  harness.clock.advance(1s);
  store->block(",203.0.113.9, 10.0.0.1", std::nullopt, "second");
  store->block("[2001:DB8::1]:8443", 60, std::nullopt);
  store->block("Host.Example:8080", 60, std::nullopt);
  ASSERT_EQ(store->blocks().size(), 3u);
  EXPECT_EQ(store->blocks()[0].ipAddress, "host.example");
  EXPECT_EQ(store->blocks()[1].ipAddress, "2001:db8::1");
  EXPECT_EQ(store->blocks()[2].ipAddress, "203.0.113.9");
  EXPECT_EQ(store->blocks()[2].reason, "second");
  EXPECT_EQ(store->blocks()[2].expiresAt, std::nullopt);

  store->unblock("203.0.113.9:8080");
  store->unblock("192.0.2.200");  // nothing to remove, still recorded
  EXPECT_EQ(store->blocks().size(), 2u);
  EXPECT_FALSE(store->activeBlock("203.0.113.9"));
  ASSERT_EQ(store->events().size(), 6u);
  for (const auto& event : {store->events()[0], store->events()[1]}) {
    EXPECT_EQ(event.outcome, SecurityOutcome::blockRemoved);
    EXPECT_EQ(event.detail, "Manual unblock");
    EXPECT_EQ(event.path, "/v1/controllers/security/blocks/remove");
    EXPECT_EQ(event.route, "security-monitor");
  }
  EXPECT_EQ(store->events()[1].remoteAddress, "203.0.113.9");
}

TEST(SecurityAuditStore, NormalizedRemoteAddress_ReducesToTheBareAddress) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"192.168.1.20:51234", "192.168.1.20"},
      {",198.51.100.7, 10.0.0.1", "198.51.100.7"},
      {" \t198.51.100.7 , 10.0.0.1", "198.51.100.7"},
      {"  , 198.51.100.7, 10.0.0.1", "unknown"},  // a blank first entry is not skipped
      {"\xC2\xA0 10.0.0.1\n", "10.0.0.1"},
      {"[2001:DB8::1]:8443", "2001:db8::1"},
      {"[::ffff:192.0.2.1]:443", "192.0.2.1"},
      {"Host.Example:http", "host.example:http"},
      {"FE80::1%EN0", "fe80::1%en0"},
      {"", "unknown"},
      {" ,,", "unknown"},
      {"1234.5.6.7", "1234.5.6.7"},
      {"1.2.3.4567", "1.2.3.4567"},
      {"a1.2.3.4b", "1.2.3.4"},
      {"1.2.3.4.5", "1.2.3.4"},
      {"12345.1.2.3.4", "1.2.3.4"},
      {"1..2.3.4", "1..2.3.4"},
      {"host-10.0.0.1.example:80", "10.0.0.1"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(SecurityAuditStore::normalizedRemoteAddress(input), expected) << '"' << input << '"';
  }
}

TEST(SecurityAuditStore, ActiveBlocks_NewestBlockedAtTextFirstStableAndMatchedNormalized) {
  Harness harness;
  const auto block = [](std::string address, std::string blockedAt,
                        std::optional<std::string> expiresAt = std::nullopt) {
    return SecurityBlock{.ipAddress = std::move(address),
                         .blockedAt = std::move(blockedAt),
                         .expiresAt = std::move(expiresAt)};
  };
  harness.writeState({}, {
                             block("a", harness.at(-10s)),
                             block("Host.Example:8080", harness.at(-5s)),
                             block("c", harness.at(-10s), "someday"),
                             block("d", harness.at(-1s), harness.at(-1ms)),
                             block("e", harness.at(-20s), harness.at(1s)),
                         });
  auto store = harness.open();
  EXPECT_EQ(store->blocks().size(), 4u) << "the expired one goes on load";
  std::vector<std::string> order;
  for (const auto& active : store->activeBlocks())
    order.push_back(active.ipAddress);
  EXPECT_EQ(order, (std::vector<std::string>{"Host.Example:8080", "a", "c", "e"}));
  ASSERT_TRUE(store->activeBlock("HOST.example:9"));
  EXPECT_EQ(store->activeBlock("HOST.example:9")->ipAddress, "Host.Example:8080");
  EXPECT_EQ(store->snapshot(10).blocks.size(), 4u);
}

// The menu offers to block this address.
TEST(SecurityAuditStore, LatestRemoteAddress_NewestProxiedEventWithAKnownAddress) {
  Harness harness;
  auto store = harness.open();
  store->record({.remoteAddress = "10.0.0.5:6000", .route = "local-network"});
  EXPECT_EQ(store->latestRemoteAddress(), std::nullopt);
  store->record({.remoteAddress = "198.51.100.7", .route = "private-mesh"});
  store->record({.remoteAddress = "10.0.0.6", .route = "local-network"});
  store->record({.remoteAddress = " ", .route = "direct-internet"});
  EXPECT_EQ(store->latestRemoteAddress(), "198.51.100.7");
  store->record({.remoteAddress = "[2001:db8::7]:1", .route = "direct-internet"});
  EXPECT_EQ(store->latestRemoteAddress(), "2001:db8::7");
}

TEST(SecurityAuditStore, OnChange_GetsTheNewest100EventsWithBlocksPathAndPolicy) {
  Harness harness;
  harness.writeState(harness.events(150), {});
  auto store = harness.open();
  std::vector<SecurityAuditResponse> snapshots;
  store->setOnChange([&](const SecurityAuditResponse& snapshot) { snapshots.push_back(snapshot); });
  harness.clock.advance(1s);
  const auto event = store->record({.remoteAddress = "10.0.0.1", .route = "local-network"});
  ASSERT_EQ(snapshots.size(), 1u);
  const auto& snapshot = snapshots.front();
  ASSERT_EQ(snapshot.events.size(), 100u);
  EXPECT_EQ(snapshot.events.front(), event);
  EXPECT_EQ(snapshot.events.back().id, "security_event_51");
  EXPECT_EQ(snapshot.generatedAt, harness.at(0s));
  EXPECT_EQ(snapshot.logPath, harness.file.string());
  EXPECT_EQ(snapshot.retention, (SecurityRetentionPolicy{800, 90}));
  EXPECT_EQ(store->snapshot(3).events.size(), 3u);
  EXPECT_EQ(store->snapshot(1000).events.size(), 151u);
}

TEST(SecurityAuditStore, WriteFailure_PrintsOneMarkerLinePerWriteAndKeepsWorkingInMemory) {
  Harness harness;
  fs::create_directories(harness.file);  // the file's place is taken by a directory
  auto store = harness.open();
  int changes = 0;
  store->setOnChange([&](const SecurityAuditResponse&) { ++changes; });
  const auto event = store->record({.remoteAddress = "10.0.0.1", .route = "local-network"});
  store->block("10.0.0.2", 60, std::nullopt);
  harness.flush(*store);
  store->unblock("10.0.0.2");
  harness.flush(*store);
  EXPECT_EQ(store->events().size(), 3u);
  EXPECT_EQ(store->events().back(), event);
  EXPECT_EQ(changes, 3);
  const std::string marker = "TAVOLIN_SECURITY_AUDIT_PERSIST_FAILED ";
  const std::string printed = harness.diagnostics.str();
  EXPECT_TRUE(printed.starts_with(marker)) << printed;
  const auto second = printed.find('\n') + 1;
  EXPECT_EQ(printed.find(marker, second), second) << printed;
  EXPECT_EQ(printed.find('\n', second), printed.size() - 1) << "two lines, one per write";
  EXPECT_EQ(
      std::distance(fs::directory_iterator(harness.file.parent_path()), fs::directory_iterator()),
      1)
      << "no temporary file left behind";

  // A parent that is a regular file fails before any write, also the last one, on destruction.
  Harness blocked;
  blocked.writeRaw("");
  blocked.file = blocked.file / "security-audit.json";
  blocked.open()->record({.remoteAddress = "10.0.0.1"});
  EXPECT_TRUE(blocked.diagnostics.str().starts_with("TAVOLIN_SECURITY_AUDIT_PERSIST_FAILED "));
}

}  // namespace
}  // namespace tavolin
