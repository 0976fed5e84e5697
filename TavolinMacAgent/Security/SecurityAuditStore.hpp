#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/describe/class.hpp>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/SecurityRecords.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"

namespace tavolin {

namespace security_audit_detail {

// What the store keeps, which is also what its file holds.
struct State {
  std::vector<SecurityAuditEvent> events{};
  std::vector<SecurityBlock> blocks{};
  std::int64_t maxEvents{};
  std::int64_t retentionDays{};
};
BOOST_DESCRIBE_STRUCT(State, (), (events, blocks, maxEvents, retentionDays))

}  // namespace security_audit_detail

// The persistent log of security-relevant access to the local control plane and the list of
// blocked peer addresses.
//
// Confined to the main thread: the local control plane and the menu call it from there, and
// `onChange` runs there, synchronously inside the operation that changed the state. The file is
// written off the main thread: the first change after a write arms a `persistDelay` timer, and
// when it fires a copy of the whole state goes to the store's own queue, which serialises it and
// replaces the file atomically. So a burst of changes costs one write, and writes land in the
// order of the changes. A file that cannot be written is reported on the diagnostics stream as
// "TAVOLIN_SECURITY_AUDIT_PERSIST_FAILED <description>" (on the main thread) and the store carries
// on in memory; no operation throws for a file-system failure.
//
// Events and blocks are kept newest first. A refusal (auth_failed, rate_limited, blocked) that
// repeats one recorded in the last `foldWindow` is folded into it, so one noisy peer cannot push
// the other peers' history out of the log.
class SecurityAuditStore {
 public:
  using Limits = SecurityRetentionPolicy;
  using ChangeHandler = std::function<void(const SecurityAuditResponse&)>;

  // The fields of a new event that the writer chooses; the store adds id and time and normalizes
  // the address. The views need only outlive the call.
  struct Entry {
    std::string_view remoteAddress{};
    std::string_view route{};
    std::string_view method{};
    std::string_view path{};
    std::string_view outcome{};
    std::optional<std::string_view> detail{};
    std::optional<std::string_view> controllerId{};
    std::optional<std::string_view> sessionId{};
  };

  static constexpr std::int64_t minMaxEvents = 100;
  static constexpr std::int64_t maxMaxEvents = 5000;
  static constexpr std::int64_t minRetentionDays = 1;
  static constexpr std::int64_t maxRetentionDays = 365;
  // Events in the snapshot handed to `onChange`.
  static constexpr std::size_t changeSnapshotLimit = 100;
  // How long changes gather before they are written together.
  static constexpr std::chrono::milliseconds persistDelay{250};
  // How far back a refusal looks for the event it repeats.
  static constexpr std::chrono::minutes foldWindow{10};

  // TAVOLIN_SECURITY_AUDIT_MAX_EVENTS (default 800) and TAVOLIN_SECURITY_AUDIT_RETENTION_DAYS
  // (default 90), clamped to their ranges.
  static Limits limitsFromEnvironment(const Environment& environment);

  // "security-audit.json" in the agent's data directory.
  static std::filesystem::path defaultStorageFile(const AppPaths& paths);

  // Loads `storageFile`; a missing, unreadable or undecodable file starts an empty log with
  // `limits`. Limits stored in the file replace `limits`. `mainExecutor` is the thread the store
  // is confined to; `clock` and `diagnostics` must outlive the store.
  SecurityAuditStore(Executor mainExecutor, std::filesystem::path storageFile, const Clock& clock,
                     std::ostream& diagnostics, Limits limits);

  // Writes whatever is not yet on disk, on the calling thread, after waiting for a write in
  // flight: nothing recorded is lost. That can block for one write, which only matters at the
  // end of the process, where the store is destroyed.
  ~SecurityAuditStore();

  SecurityAuditStore(const SecurityAuditStore&) = delete;
  SecurityAuditStore& operator=(const SecurityAuditStore&) = delete;

  // Builds an event from `entry` and inserts it as newest, prunes, persists and notifies. A
  // refusal updates the newest event with the same normalized address, route, outcome and
  // detail instead, when that one is no older than `foldWindow`: it moves to the front, takes the
  // new time and counts one more; its id, method and path stay. Answers the event as stored.
  SecurityAuditEvent record(const Entry& entry);

  // Replaces any block of the address. A duration below 1 second (or none) blocks forever.
  SecurityBlock block(std::string_view remoteAddress, std::optional<std::int64_t> durationSeconds,
                      std::optional<std::string> reason);

  // Removes every block of the address and records that it did, even when there was none.
  void unblock(std::string_view remoteAddress);

  // Absent members keep their value; given ones are clamped to their ranges.
  SecurityRetentionPolicy updateRetention(std::optional<std::int64_t> maxEvents,
                                          std::optional<std::int64_t> retentionDays);

  // The block that refuses `remoteAddress` now, if any. Drops expired blocks from memory first.
  std::optional<SecurityBlock> activeBlock(std::string_view remoteAddress);

  // Blocks that have not expired, newest `blockedAt` first. A block counts until, and not at,
  // its expiry; one whose expiry does not parse counts forever.
  std::vector<SecurityBlock> activeBlocks() const;

  // The address of the newest event that came through the private mesh or the direct-internet
  // proxy, if any.
  std::optional<std::string> latestRemoteAddress() const;

  // The newest `limit` events, the active blocks, the file path and the policy.
  SecurityAuditResponse snapshot(std::size_t limit);

  // Drops events older than the retention period (those whose time does not parse stay), then
  // all but the newest maxEvents. With `notify`, a change is persisted and reported.
  void pruneEvents(bool notify);

  // Drops blocks whose expiry lies before now. With `notify`, a change is persisted and reported.
  void pruneExpiredBlocks(bool notify);

  // The first entry of a forwarded-for list, reduced to the bare address or lower-cased host:
  // a dotted IPv4 address found anywhere wins; then a bracketed IPv6 address; then a host with a
  // numeric port loses the port. Nothing usable gives "unknown".
  static std::string normalizedRemoteAddress(std::string_view address);

  // The detail of an event about `block`: "Blocked until <expiresAt>" or "Blocked forever".
  static std::string blockDetail(const SecurityBlock& block);

  void setOnChange(ChangeHandler handler) { onChange_ = std::move(handler); }

  const std::vector<SecurityAuditEvent>& events() const { return state_.events; }
  const std::vector<SecurityBlock>& blocks() const { return state_.blocks; }
  SecurityRetentionPolicy retention() const { return {state_.maxEvents, state_.retentionDays}; }
  const std::filesystem::path& storageFile() const { return storageFile_; }

  // Resolves once every change made before it starts running has been written, or its write has
  // failed and been reported; starts that write now rather than after `persistDelay`. Awaited on
  // the main executor; for shutdown and tests.
  Awaitable<void> flush();

  // The exact bytes the next persist would write. The appending form lets a frequent caller
  // reuse one buffer: at the largest limit the text is about 2 MB.
  std::string persistedText() const;
  void appendPersistedText(std::string& out) const;

 private:
  struct FlushWaiter {
    std::uint64_t change;
    std::shared_ptr<asio::steady_timer> wakeUp;
  };

  void load(Limits limits);
  void insertOrFold(SecurityAuditEvent event);
  // The state changed: persist it soon.
  void persist();
  void armPersistTimer();
  // Hands the current state to the queue unless a write is in flight or nothing is new.
  void startWrite();
  void writeFinished(std::uint64_t change, const std::optional<std::string>& failure);
  void reportPersistFailure(const std::string& description);
  void notifyChange();

  Executor mainExecutor_;
  std::filesystem::path storageFile_;
  const Clock& clock_;
  std::ostream& diagnostics_;
  security_audit_detail::State state_;
  // No event in the log has a parsable time before this; a fold only makes an event newer.
  Date oldestEventAt_ = Date::min();
  ChangeHandler onChange_;

  // Changes are numbered; a write carries the number of the last change it holds.
  std::uint64_t lastChange_ = 0;
  std::uint64_t lastPosted_ = 0;
  std::uint64_t lastWritten_ = 0;
  bool writeInFlight_ = false;
  bool persistTimerArmed_ = false;
  asio::steady_timer persistTimer_;
  std::vector<FlushWaiter> flushWaiters_;
  // Handlers that come back to the main thread check it, as the store may be gone by then.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  SerialQueue queue_{"app.tavolin.agent.security-audit"};
};

}  // namespace tavolin
