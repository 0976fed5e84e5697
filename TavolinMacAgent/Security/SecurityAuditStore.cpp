#include "TavolinMacAgent/Security/SecurityAuditStore.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <limits>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/JSON/PrettyJSON.hpp"

namespace tavolin {

namespace {

namespace fs = std::filesystem;

// The file as read: older or hand-edited files may lack the limits.
struct StoredState {
  std::vector<SecurityAuditEvent> events{};
  std::vector<SecurityBlock> blocks{};
  std::optional<std::int64_t> maxEvents{};
  std::optional<std::int64_t> retentionDays{};
};
BOOST_DESCRIBE_STRUCT(StoredState, (), (events, blocks, maxEvents, retentionDays))

constexpr std::string_view kSecurityMonitorRoute = "security-monitor";
constexpr std::string_view kBlocksPath = "/v1/controllers/security/blocks";
constexpr std::string_view kUnblockPath = "/v1/controllers/security/blocks/remove";
constexpr std::string_view kPersistFailedMarker = "TAVOLIN_SECURITY_AUDIT_PERSIST_FAILED";

// Dates count nanoseconds in 64 bits and end in April 2262. A block meant to outlast that is
// forever in all but name; capping its expiry a little earlier keeps the arithmetic from
// overflowing and the expiry a time that parses back.
constexpr auto kLatestExpiry =
    std::chrono::floor<std::chrono::seconds>(Date::max()) - std::chrono::days(2);

std::int64_t clampedMaxEvents(std::int64_t value) {
  return std::clamp(value, SecurityAuditStore::minMaxEvents, SecurityAuditStore::maxMaxEvents);
}

std::int64_t clampedRetentionDays(std::int64_t value) {
  return std::clamp(value, SecurityAuditStore::minRetentionDays,
                    SecurityAuditStore::maxRetentionDays);
}

bool isASCIIDigit(char c) {
  return c >= '0' && c <= '9';
}

// Byte length of the white space or line break that starts at `position`: ASCII and the Unicode
// space separators, U+0085, U+2028 and U+2029, in UTF-8.
std::size_t whitespaceLengthAt(std::string_view text, std::size_t position) {
  const std::string_view rest = text.substr(position);
  if (rest.empty())
    return 0;
  if (rest.front() == ' ' || (rest.front() >= '\t' && rest.front() <= '\r'))
    return 1;
  if (rest.starts_with("\xC2\x85") || rest.starts_with("\xC2\xA0"))
    return 2;
  if (rest.size() >= 3) {
    const auto b0 = static_cast<unsigned char>(rest[0]);
    const auto b1 = static_cast<unsigned char>(rest[1]);
    const auto b2 = static_cast<unsigned char>(rest[2]);
    const bool generalPunctuationSpace =
        b0 == 0xE2 && ((b1 == 0x80 && (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||
                       (b1 == 0x81 && b2 == 0x9F));
    if (generalPunctuationSpace || rest.starts_with("\xE1\x9A\x80") ||
        rest.starts_with("\xE3\x80\x80")) {
      return 3;
    }
  }
  return 0;
}

std::string_view trimmed(std::string_view text) {
  std::size_t start = 0;
  while (const std::size_t length = whitespaceLengthAt(text, start)) {
    start += length;
  }
  std::size_t end = text.size();
  while (end > start) {
    // White space is 1 to 3 bytes long; try each length that would end exactly at `end`.
    std::size_t length = 0;
    for (std::size_t candidate = 1; candidate <= 3 && candidate <= end - start; ++candidate) {
      if (whitespaceLengthAt(text.substr(0, end), end - candidate) == candidate) {
        length = candidate;
        break;
      }
    }
    if (length == 0)
      break;
    end -= length;
  }
  return text.substr(start, end - start);
}

// The leftmost dotted quad of one to three digits per part that is not glued to further digits
// on either side, as the pattern (?<![0-9])(?:\d{1,3}\.){3}\d{1,3}(?![0-9]) finds it. A part
// followed by a dot must be the whole digit run before that dot, so no backtracking is needed.
std::optional<std::string_view> findDottedIPv4(std::string_view text) {
  const auto digitRun = [&](std::size_t position) {
    std::size_t length = 0;
    while (position + length < text.size() && isASCIIDigit(text[position + length]))
      ++length;
    return length;
  };
  for (std::size_t start = 0; start < text.size(); ++start) {
    if (!isASCIIDigit(text[start]) || (start > 0 && isASCIIDigit(text[start - 1])))
      continue;
    std::size_t position = start;
    bool dotted = true;
    for (int part = 0; part < 3 && dotted; ++part) {
      const std::size_t run = digitRun(position);
      dotted = run >= 1 && run <= 3 && position + run < text.size() && text[position + run] == '.';
      position += run + 1;
    }
    if (!dotted)
      continue;
    const std::size_t run = digitRun(position);
    if (run >= 1 && run <= 3)
      return text.substr(start, position + run - start);
  }
  return std::nullopt;
}

std::optional<std::string> ownedOptional(std::optional<std::string_view> view) {
  return view ? std::optional<std::string>(*view) : std::nullopt;
}

// An expiry that does not parse never ends the block.
bool isActive(const SecurityBlock& block, Date now) {
  if (!block.expiresAt)
    return true;
  const auto expiresAt = TavolinISO8601::date(*block.expiresAt);
  return !expiresAt || *expiresAt > now;
}

std::string describe(const std::exception& error) {
  if (const auto* tavolinError = dynamic_cast<const TavolinError*>(&error))
    return tavolinError->description();
  return error.what();
}

bool isRefusal(std::string_view outcome) {
  return outcome == SecurityOutcome::authFailed || outcome == SecurityOutcome::rateLimited ||
         outcome == SecurityOutcome::blocked;
}

bool repeats(const SecurityAuditEvent& existing, const SecurityAuditEvent& refusal) {
  return existing.outcome == refusal.outcome && existing.remoteAddress == refusal.remoteAddress &&
         existing.route == refusal.route && existing.detail == refusal.detail;
}

// Runs on the queue, so the serialising stays off the main thread too. Answers the failure.
std::optional<std::string> writeStateFile(const fs::path& file,
                                          const security_audit_detail::State& state) {
  try {
    if (const fs::path directory = file.parent_path(); !directory.empty())
      ensurePrivateDirectory(directory);
    std::string text;
    appendPrettyPrintedSortedJSON(text, state);
    writeFileAtomically(file, text, fs::perms::owner_read | fs::perms::owner_write);
    return std::nullopt;
  } catch (const std::exception& error) {
    return describe(error);
  }
}

}  // namespace

SecurityAuditStore::Limits SecurityAuditStore::limitsFromEnvironment(
    const Environment& environment) {
  return {
      environmentInteger(environment, "TAVOLIN_SECURITY_AUDIT_MAX_EVENTS", 800, minMaxEvents,
                         maxMaxEvents),
      environmentInteger(environment, "TAVOLIN_SECURITY_AUDIT_RETENTION_DAYS", 90, minRetentionDays,
                         maxRetentionDays),
  };
}

fs::path SecurityAuditStore::defaultStorageFile(const AppPaths& paths) {
  return paths.dataDirectory / "security-audit.json";
}

std::string SecurityAuditStore::blockDetail(const SecurityBlock& block) {
  return block.expiresAt ? "Blocked until " + *block.expiresAt : std::string("Blocked forever");
}

SecurityAuditStore::SecurityAuditStore(Executor mainExecutor, fs::path storageFile,
                                       const Clock& clock, std::ostream& diagnostics, Limits limits)
    : mainExecutor_(std::move(mainExecutor)),
      storageFile_(std::move(storageFile)),
      clock_(clock),
      diagnostics_(diagnostics),
      persistTimer_(mainExecutor_) {
  load(limits);
}

SecurityAuditStore::~SecurityAuditStore() {
  // Joins the write in flight, if any; the state written below supersedes it.
  queue_.stop();
  for (const auto& waiter : flushWaiters_)
    waiter.wakeUp->cancel();
  if (lastWritten_ < lastChange_) {
    if (const auto failure = writeStateFile(storageFile_, state_))
      reportPersistFailure(*failure);
  }
}

void SecurityAuditStore::load(Limits limits) {
  state_.maxEvents = clampedMaxEvents(limits.maxEvents);
  state_.retentionDays = clampedRetentionDays(limits.retentionDays);
  std::optional<StoredState> state;
  try {
    if (const auto text = readFileIfExists(storageFile_)) {
      state = decodeJSON<StoredState>(*text);
    }
  } catch (const std::exception&) {
    // Unreadable or not ours: start empty, and the next persist replaces it.
  }
  if (state) {
    if (state->maxEvents)
      state_.maxEvents = clampedMaxEvents(*state->maxEvents);
    if (state->retentionDays)
      state_.retentionDays = clampedRetentionDays(*state->retentionDays);
    state_.events = std::move(state->events);
    if (state_.events.size() > static_cast<std::size_t>(state_.maxEvents))
      state_.events.resize(static_cast<std::size_t>(state_.maxEvents));
    state_.blocks = std::move(state->blocks);
  }
  pruneEvents(false);
  pruneExpiredBlocks(false);
}

SecurityAuditEvent SecurityAuditStore::record(const Entry& entry) {
  SecurityAuditEvent event{
      .id = makeIdentifier("security_event_"),
      .occurredAt = TavolinISO8601::string(clock_.now()),
      .remoteAddress = normalizedRemoteAddress(entry.remoteAddress),
      .route = std::string(entry.route),
      .method = std::string(entry.method),
      .path = std::string(entry.path),
      .outcome = std::string(entry.outcome),
      .detail = ownedOptional(entry.detail),
      .controllerId = ownedOptional(entry.controllerId),
      .sessionId = ownedOptional(entry.sessionId),
  };
  insertOrFold(std::move(event));
  pruneEvents(false);
  persist();
  // The newest event survives pruning: it is as new as can be.
  SecurityAuditEvent stored = state_.events.front();
  notifyChange();
  return stored;
}

void SecurityAuditStore::insertOrFold(SecurityAuditEvent event) {
  auto& events = state_.events;
  if (isRefusal(event.outcome)) {
    // A flood keeps its event at the front, so this stops at once where it matters; a new key
    // scans the log, which costs no more than the insert it leads to.
    const auto previous = std::find_if(events.begin(), events.end(), [&](const auto& existing) {
      return repeats(existing, event);
    });
    const auto previousAt =
        previous != events.end() ? TavolinISO8601::date(previous->occurredAt) : std::nullopt;
    if (previousAt && *previousAt >= clock_.now() - foldWindow) {
      previous->occurredAt = std::move(event.occurredAt);
      const std::int64_t count = previous->count.value_or(1);
      previous->count = count < std::numeric_limits<std::int64_t>::max() ? count + 1 : count;
      std::rotate(events.begin(), previous, std::next(previous));
      return;
    }
  }
  if (const auto occurredAt = TavolinISO8601::date(event.occurredAt))
    oldestEventAt_ = std::min(oldestEventAt_, *occurredAt);
  events.insert(events.begin(), std::move(event));
}

SecurityBlock SecurityAuditStore::block(std::string_view remoteAddress,
                                        std::optional<std::int64_t> durationSeconds,
                                        std::optional<std::string> reason) {
  const std::string address = normalizedRemoteAddress(remoteAddress);
  const Date now = clock_.now();
  SecurityBlock block{
      .ipAddress = address,
      .blockedAt = TavolinISO8601::string(now),
      .expiresAt = std::nullopt,
      .reason = std::move(reason),
  };
  if (durationSeconds && *durationSeconds >= 1) {
    const auto room = std::chrono::floor<std::chrono::seconds>(kLatestExpiry - now);
    const auto duration = std::chrono::seconds(std::min(*durationSeconds, room.count()));
    block.expiresAt = TavolinISO8601::string(now + duration);
  }
  std::erase_if(state_.blocks,
                [&](const SecurityBlock& existing) { return existing.ipAddress == address; });
  state_.blocks.insert(state_.blocks.begin(), block);
  const std::string detail = blockDetail(block);
  record({
      .remoteAddress = address,
      .route = kSecurityMonitorRoute,
      .method = "POST",
      .path = kBlocksPath,
      .outcome = SecurityOutcome::blockAdded,
      .detail = detail,
  });
  return block;
}

void SecurityAuditStore::unblock(std::string_view remoteAddress) {
  const std::string address = normalizedRemoteAddress(remoteAddress);
  std::erase_if(state_.blocks,
                [&](const SecurityBlock& existing) { return existing.ipAddress == address; });
  record({
      .remoteAddress = address,
      .route = kSecurityMonitorRoute,
      .method = "POST",
      .path = kUnblockPath,
      .outcome = SecurityOutcome::blockRemoved,
      .detail = "Manual unblock",
  });
}

SecurityRetentionPolicy SecurityAuditStore::updateRetention(
    std::optional<std::int64_t> maxEvents, std::optional<std::int64_t> retentionDays) {
  if (maxEvents)
    state_.maxEvents = clampedMaxEvents(*maxEvents);
  if (retentionDays)
    state_.retentionDays = clampedRetentionDays(*retentionDays);
  pruneEvents(false);
  persist();
  notifyChange();
  return retention();
}

std::optional<SecurityBlock> SecurityAuditStore::activeBlock(std::string_view remoteAddress) {
  pruneExpiredBlocks(false);
  const std::string address = normalizedRemoteAddress(remoteAddress);
  for (auto& block : activeBlocks()) {
    if (normalizedRemoteAddress(block.ipAddress) == address)
      return std::move(block);
  }
  return std::nullopt;
}

std::vector<SecurityBlock> SecurityAuditStore::activeBlocks() const {
  const Date now = clock_.now();
  std::vector<SecurityBlock> active;
  std::copy_if(state_.blocks.begin(), state_.blocks.end(), std::back_inserter(active),
               [&](const SecurityBlock& block) { return isActive(block, now); });
  std::stable_sort(active.begin(), active.end(),
                   [](const SecurityBlock& lhs, const SecurityBlock& rhs) {
                     return lhs.blockedAt > rhs.blockedAt;
                   });
  return active;
}

std::optional<std::string> SecurityAuditStore::latestRemoteAddress() const {
  for (const auto& event : state_.events) {
    if (event.remoteAddress != "unknown" &&
        (event.route == "direct-internet" || event.route == "private-mesh")) {
      return event.remoteAddress;
    }
  }
  return std::nullopt;
}

SecurityAuditResponse SecurityAuditStore::snapshot(std::size_t limit) {
  pruneExpiredBlocks(false);
  const std::size_t count = std::min(limit, state_.events.size());
  return {
      .generatedAt = TavolinISO8601::string(clock_.now()),
      .events = std::vector<SecurityAuditEvent>(state_.events.begin(),
                                                state_.events.begin() + static_cast<long>(count)),
      .blocks = activeBlocks(),
      .logPath = storageFile_.string(),
      .retention = retention(),
  };
}

void SecurityAuditStore::pruneEvents(bool notify) {
  const std::size_t countBefore = state_.events.size();
  const Date cutoff = clock_.now() - std::chrono::days(state_.retentionDays);
  // Parsing every time on every record would be most of its cost; usually nothing is that old.
  if (cutoff > oldestEventAt_) {
    Date oldest = Date::max();
    std::erase_if(state_.events, [&](const SecurityAuditEvent& event) {
      const auto occurredAt = TavolinISO8601::date(event.occurredAt);
      if (!occurredAt || *occurredAt >= cutoff) {
        oldest = std::min(oldest, occurredAt.value_or(Date::max()));
        return false;
      }
      return true;
    });
    oldestEventAt_ = oldest;
  }
  if (state_.events.size() > static_cast<std::size_t>(state_.maxEvents))
    state_.events.resize(static_cast<std::size_t>(state_.maxEvents));
  if (notify && state_.events.size() != countBefore) {
    persist();
    notifyChange();
  }
}

void SecurityAuditStore::pruneExpiredBlocks(bool notify) {
  const Date now = clock_.now();
  const auto removed = std::erase_if(state_.blocks, [&](const SecurityBlock& block) {
    if (!block.expiresAt)
      return false;
    const auto expiresAt = TavolinISO8601::date(*block.expiresAt);
    return expiresAt && *expiresAt < now;
  });
  if (notify && removed != 0) {
    persist();
    notifyChange();
  }
}

std::string SecurityAuditStore::normalizedRemoteAddress(std::string_view address) {
  // Forwarded-for lists name the client first; empty pieces (",,") do not count.
  std::string_view first;
  for (std::size_t start = 0; start <= address.size();) {
    const std::size_t comma = std::min(address.find(',', start), address.size());
    if (comma > start) {
      first = address.substr(start, comma - start);
      break;
    }
    start = comma + 1;
  }
  const std::string_view text = trimmed(first);
  if (text.empty())
    return "unknown";
  if (const auto ipv4 = findDottedIPv4(text))
    return std::string(*ipv4);
  if (text.front() == '[') {
    if (const auto close = text.find(']'); close != std::string_view::npos)
      return asciiLowercased(text.substr(1, close - 1));
  }
  if (const auto colon = text.find(':');
      colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    if (std::all_of(port.begin(), port.end(), isASCIIDigit))
      return asciiLowercased(text.substr(0, colon));
  }
  return asciiLowercased(text);
}

void SecurityAuditStore::appendPersistedText(std::string& out) const {
  appendPrettyPrintedSortedJSON(out, state_);
}

std::string SecurityAuditStore::persistedText() const {
  std::string text;
  appendPersistedText(text);
  return text;
}

void SecurityAuditStore::persist() {
  ++lastChange_;
  armPersistTimer();
}

void SecurityAuditStore::armPersistTimer() {
  // A write in flight looks for newer changes when it ends.
  if (writeInFlight_ || persistTimerArmed_)
    return;
  persistTimerArmed_ = true;
  persistTimer_.expires_after(persistDelay);
  persistTimer_.async_wait(
      [this, alive = std::weak_ptr(alive_)](const boost::system::error_code& error) {
        if (!error && !alive.expired())
          startWrite();
      });
}

void SecurityAuditStore::startWrite() {
  persistTimer_.cancel();
  persistTimerArmed_ = false;
  if (writeInFlight_ || lastPosted_ == lastChange_)
    return;
  writeInFlight_ = true;
  lastPosted_ = lastChange_;
  // The queue gets a copy: the state goes on changing here while the file is written there.
  queue_.post([this, alive = std::weak_ptr(alive_), main = mainExecutor_, file = storageFile_,
               state = state_, change = lastPosted_] {
    auto failure = writeStateFile(file, state);
    asio::post(main, [this, alive, change, failure = std::move(failure)] {
      if (!alive.expired())
        writeFinished(change, failure);
    });
  });
}

void SecurityAuditStore::writeFinished(std::uint64_t change,
                                       const std::optional<std::string>& failure) {
  writeInFlight_ = false;
  lastWritten_ = change;
  if (failure)
    reportPersistFailure(*failure);
  std::erase_if(flushWaiters_, [&](const FlushWaiter& waiter) {
    if (waiter.change > lastWritten_)
      return false;
    waiter.wakeUp->cancel();
    return true;
  });
  if (lastPosted_ < lastChange_) {
    if (flushWaiters_.empty())
      armPersistTimer();
    else
      startWrite();
  }
}

Awaitable<void> SecurityAuditStore::flush() {
  if (lastWritten_ >= lastChange_)
    co_return;
  auto wakeUp =
      std::make_shared<asio::steady_timer>(mainExecutor_, asio::steady_timer::time_point::max());
  flushWaiters_.push_back({lastChange_, wakeUp});
  startWrite();
  // Woken by cancellation, from writeFinished or the destructor; the store may be gone after.
  boost::system::error_code woken;
  co_await wakeUp->async_wait(asio::redirect_error(asio::use_awaitable, woken));
}

void SecurityAuditStore::reportPersistFailure(const std::string& description) {
  diagnostics_ << kPersistFailedMarker << ' ' << description << '\n' << std::flush;
}

void SecurityAuditStore::notifyChange() {
  if (onChange_)
    onChange_(snapshot(changeSnapshotLimit));
}

}  // namespace tavolin
