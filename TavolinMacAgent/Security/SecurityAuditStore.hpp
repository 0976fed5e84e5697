#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Records/SecurityRecords.hpp"
#include "TavolinCore/Runtime/Clock.hpp"

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
// `onChange` runs there, synchronously inside the operation that changed the state. Every change
// rewrites the whole file before the operation returns. A file that cannot be written is reported
// on the diagnostics stream as "TAVOLIN_SECURITY_AUDIT_PERSIST_FAILED <description>" and the store
// carries on in memory; no operation throws for a file-system failure.
//
// Events and blocks are kept newest first.
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

  // TAVOLIN_SECURITY_AUDIT_MAX_EVENTS (default 800) and TAVOLIN_SECURITY_AUDIT_RETENTION_DAYS
  // (default 90), clamped to their ranges.
  static Limits limitsFromEnvironment(const Environment& environment);

  // "security-audit.json" in the agent's data directory.
  static std::filesystem::path defaultStorageFile(const AppPaths& paths);

  // Loads `storageFile`; a missing, unreadable or undecodable file starts an empty log with
  // `limits`. Limits stored in the file replace `limits`. `clock` and `diagnostics` must outlive
  // the store.
  SecurityAuditStore(std::filesystem::path storageFile, const Clock& clock,
                     std::ostream& diagnostics, Limits limits);

  SecurityAuditStore(const SecurityAuditStore&) = delete;
  SecurityAuditStore& operator=(const SecurityAuditStore&) = delete;

  // Builds an event from `entry` and inserts it.
  SecurityAuditEvent record(const Entry& entry);

  // Adds an event built elsewhere: insert as newest, prune, persist, notify. `record` ends here.
  void insert(SecurityAuditEvent event);

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

  // The exact bytes the next persist would write. The appending form lets a frequent caller
  // reuse one buffer: at the largest limit the text is about 2 MB.
  std::string persistedText() const;
  void appendPersistedText(std::string& out) const;

 private:
  void load(Limits limits);
  void persist();
  void notifyChange();

  std::filesystem::path storageFile_;
  const Clock& clock_;
  std::ostream& diagnostics_;
  security_audit_detail::State state_;
  ChangeHandler onChange_;
  std::string persistBuffer_;
};

}  // namespace tavolin
