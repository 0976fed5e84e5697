#include "ControlPlaneServer/ControlPlaneStore.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "ControlPlaneServer/ControlPlaneError.hpp"
#include "ControlPlaneServer/ControlPlaneFieldLimits.hpp"
#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/CryptoPrimitives.hpp"
#include "TavolinCore/Security/PairingCode.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS owners (
  id TEXT PRIMARY KEY,
  record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tokens (
  hash BLOB PRIMARY KEY,
  kind TEXT NOT NULL,
  subject_id TEXT NOT NULL,
  label TEXT NOT NULL,
  created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS controllers (
  id TEXT PRIMARY KEY,
  owner_id TEXT NOT NULL,
  record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS devices (
  id TEXT PRIMARY KEY,
  owner_id TEXT NOT NULL,
  record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS device_snapshots (
  device_id TEXT PRIMARY KEY,
  record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS enrollment_requests (
  id TEXT PRIMARY KEY,
  code TEXT NOT NULL,
  status TEXT NOT NULL,
  expires_at TEXT NOT NULL,
  record TEXT NOT NULL,
  client TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS enrollment_requests_by_code ON enrollment_requests (code, status);
CREATE TABLE IF NOT EXISTS sessions (
  id TEXT PRIMARY KEY,
  controller_id TEXT NOT NULL,
  device_id TEXT NOT NULL,
  status TEXT NOT NULL,
  record TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS sessions_by_device ON sessions (device_id, status);
CREATE TABLE IF NOT EXISTS signals (
  session_id TEXT NOT NULL,
  sequence INTEGER NOT NULL,
  record TEXT NOT NULL,
  PRIMARY KEY (session_id, sequence)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS commands (
  id TEXT PRIMARY KEY,
  session_id TEXT NOT NULL,
  device_id TEXT NOT NULL,
  controller_id TEXT NOT NULL,
  status TEXT NOT NULL,
  idempotency_key TEXT,
  record TEXT NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS commands_by_idempotency_key
  ON commands (session_id, idempotency_key) WHERE idempotency_key IS NOT NULL;
CREATE INDEX IF NOT EXISTS commands_by_device ON commands (device_id, status);
CREATE TABLE IF NOT EXISTS screen_frames (
  session_id TEXT PRIMARY KEY,
  record TEXT NOT NULL);
)sql";

// Indexes on columns that databases from before the column was added gain first.
constexpr std::string_view kLaterIndexes = R"sql(
CREATE INDEX IF NOT EXISTS enrollment_requests_by_client
  ON enrollment_requests (client, status, expires_at);
CREATE INDEX IF NOT EXISTS enrollment_requests_by_expiry ON enrollment_requests (expires_at);
)sql";

std::string_view kindName(TokenKind kind) {
  switch (kind) {
    case TokenKind::owner:
      return "owner";
    case TokenKind::controller:
      return "controller";
    case TokenKind::agent:
      return "agent";
  }
  return "";
}

std::optional<TokenKind> kindFromName(std::string_view name) {
  for (const TokenKind kind : {TokenKind::owner, TokenKind::controller, TokenKind::agent}) {
    if (kindName(kind) == name)
      return kind;
  }
  return std::nullopt;
}

SHA256Digest tokenHash(std::string_view token) {
  return sha256(byteSpan(token));
}

template <class T>
T decodeRecord(const std::string& json) {
  return decodeJSON<T>(json);
}

// The record in the first column of the next row, or nothing when there is no row.
template <class T>
std::optional<T> nextRecord(SQLiteStatement& select) {
  if (!select.step())
    return std::nullopt;
  return decodeRecord<T>(select.text(0));
}

// The database holds token hashes and screen frames: create it private before SQLite opens it
// (SQLite gives its -wal and -shm files the same mode).
void createPrivately(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::filesystem::filesystem_error("Cannot create the database", file,
                                            std::error_code(errno, std::generic_category()));
  }
  ::close(fd);
}

std::string sessionColumn(const SessionParty& party) {
  return party.side == SessionParty::Side::agent ? "device_id" : "controller_id";
}

std::string normalisedCode(std::string_view code) {
  std::string out;
  for (const char c : code) {
    if (c != ' ' && c != '-')
      out.push_back(c);
  }
  return out;
}

}  // namespace

ControlPlaneStore::ControlPlaneStore(const std::filesystem::path& file, const Clock& clock)
    : clock_(clock), database_((createPrivately(file), file)) {
  // WAL lets a reader never wait for the writer; NORMAL syncs at checkpoints only, which loses
  // nothing when the process dies and at worst the last commits when the machine does.
  database_.execute("PRAGMA journal_mode = WAL");
  database_.execute("PRAGMA synchronous = NORMAL");
  database_.execute("PRAGMA foreign_keys = ON");
  database_.execute("PRAGMA busy_timeout = 5000");
  auto transaction = this->transaction();
  database_.execute(kSchema);
  SQLiteStatement hasClient(
      database_, "SELECT 1 FROM pragma_table_info('enrollment_requests') WHERE name = 'client'");
  if (!hasClient.step())
    database_.execute("ALTER TABLE enrollment_requests ADD COLUMN client TEXT NOT NULL DEFAULT ''");
  database_.execute(kLaterIndexes);
  transaction.commit();
}

std::string ControlPlaneStore::makeToken() {
  return base64URLEncode(secureRandomBytes(32));
}

std::string ControlPlaneStore::now() const {
  return TavolinISO8601::string(clock_.now());
}

std::string ControlPlaneStore::issueToken(TokenKind kind, const std::string& subjectId,
                                          std::string_view label) {
  std::string token = makeToken();
  SQLiteStatement insert(database_,
                         "INSERT INTO tokens (hash, kind, subject_id, label, created_at) "
                         "VALUES (?, ?, ?, ?, ?)");
  insert.bindBlob(1, tokenHash(token))
      .bind(2, kindName(kind))
      .bind(3, subjectId)
      .bind(4, label)
      .bind(5, now())
      .run();
  return token;
}

std::optional<Principal> ControlPlaneStore::authenticate(std::string_view token) {
  if (token.empty())
    return std::nullopt;
  auto transaction = this->transaction();
  SQLiteStatement lookup(database_, "SELECT kind, subject_id FROM tokens WHERE hash = ?");
  lookup.bindBlob(1, tokenHash(token));
  if (!lookup.step())
    return std::nullopt;
  const auto kind = kindFromName(lookup.text(0));
  if (!kind)
    return std::nullopt;
  Principal principal{.kind = *kind, .subjectId = lookup.text(1)};
  switch (*kind) {
    case TokenKind::owner:
      principal.ownerId = principal.subjectId;
      break;
    case TokenKind::controller: {
      SQLiteStatement select(database_, "SELECT record FROM controllers WHERE id = ?");
      select.bind(1, principal.subjectId);
      if (!select.step())
        return std::nullopt;
      auto controller = decodeRecord<Controller>(select.text(0));
      if (controller.revokedAt)
        return std::nullopt;
      principal.ownerId = controller.ownerId;
      // Seen-at is informative; a minute's precision spares a write on every request.
      const auto lastSeen = controller.lastSeenAt ? TavolinISO8601::date(*controller.lastSeenAt)
                                                  : std::optional<Date>();
      if (!lastSeen || clock_.now() - *lastSeen >= std::chrono::minutes(1)) {
        controller.lastSeenAt = now();
        SQLiteStatement update(database_, "UPDATE controllers SET record = ? WHERE id = ?");
        update.bind(1, encodeJSON(controller)).bind(2, controller.id).run();
      }
      break;
    }
    case TokenKind::agent: {
      const auto device = loadDevice(principal.subjectId);
      if (!device || device->revokedAt)
        return std::nullopt;
      principal.ownerId = device->ownerId;
      break;
    }
  }
  transaction.commit();
  return principal;
}

bool ControlPlaneStore::ownerExists() {
  return owner().has_value();
}

std::optional<Owner> ControlPlaneStore::owner() {
  SQLiteStatement select(database_, "SELECT record FROM owners ORDER BY rowid LIMIT 1");
  return nextRecord<Owner>(select);
}

BootstrapOwnerResponse ControlPlaneStore::bootstrapOwner(const BootstrapOwnerPayload& payload) {
  auto transaction = this->transaction();
  if (ownerExists())
    throw ControlPlaneError::conflict("owner_exists");
  const std::string timestamp = now();
  Owner owner{.id = makeIdentifier("owner_"),
              .email = payload.email,
              .displayName = payload.displayName,
              .createdAt = timestamp,
              .updatedAt = timestamp};
  SQLiteStatement insert(database_, "INSERT INTO owners (id, record) VALUES (?, ?)");
  insert.bind(1, owner.id).bind(2, encodeJSON(owner)).run();
  BootstrapOwnerResponse response{
      .owner = owner,
      .ownerToken = issueToken(TokenKind::owner, owner.id, payload.credentialLabel)};
  transaction.commit();
  return response;
}

CreateControllerResponse ControlPlaneStore::createController(
    std::optional<std::string> ownerId, const CreateControllerPayload& payload) {
  auto transaction = this->transaction();
  if (!ownerId) {
    const auto existing = owner();
    if (!existing)
      throw ControlPlaneError::conflict("owner_missing", "Bootstrap the owner first.");
    ownerId = existing->id;
  }
  Controller controller{.id = makeIdentifier("controller_"),
                        .ownerId = *ownerId,
                        .name = payload.name,
                        .platform = payload.platform,
                        .publicKey = payload.publicKey,
                        .createdAt = now()};
  SQLiteStatement insert(database_,
                         "INSERT INTO controllers (id, owner_id, record) VALUES (?, ?, ?)");
  insert.bind(1, controller.id).bind(2, controller.ownerId).bind(3, encodeJSON(controller)).run();
  CreateControllerResponse response{
      .controller = controller,
      .controllerToken = issueToken(TokenKind::controller, controller.id, payload.name)};
  transaction.commit();
  return response;
}

EnrollmentRequestResponse ControlPlaneStore::createEnrollmentRequest(
    const EnrollmentRequestPayload& payload, std::string_view client) {
  auto transaction = this->transaction();
  const std::string timestamp = now();
  // New requests are the only way the table grows, so pruning here keeps it to the requests of
  // the last lifetime and retention.
  SQLiteStatement prune(database_,
                        "DELETE FROM enrollment_requests WHERE status IN ('pending', 'expired', "
                        "'denied') AND expires_at < ?");
  prune.bind(1, TavolinISO8601::string(clock_.now() - expiredEnrollmentRetention)).run();

  SQLiteStatement pending(database_,
                          "SELECT count(*) FROM enrollment_requests "
                          "WHERE client = ? AND status = 'pending' AND expires_at > ?");
  pending.bind(1, client).bind(2, timestamp);
  pending.step();
  if (pending.integer(0) >= maxPendingEnrollmentsPerClient)
    throw ControlPlaneError(429, "too_many_enrollment_requests");

  // A code names one live request: draw again while a pending one holds it.
  std::string code;
  for (;;) {
    code = makePairingCode();
    SQLiteStatement taken(
        database_, "SELECT 1 FROM enrollment_requests WHERE code = ? AND status = 'pending'");
    taken.bind(1, code);
    if (!taken.step())
      break;
  }

  EnrollmentRequest request{
      .id = makeIdentifier("enrollment_"),
      .deviceName = payload.deviceName,
      .hostname = payload.hostname,
      .platform = payload.platform,
      .publicKey = payload.publicKey,
      .capabilities = payload.capabilities,
      .status = "pending",
      .expiresAt = TavolinISO8601::string(clock_.now() + enrollmentLifetime),
      .createdAt = timestamp,
  };
  SQLiteStatement insert(database_,
                         "INSERT INTO enrollment_requests (id, code, status, expires_at, record, "
                         "client) VALUES (?, ?, ?, ?, ?, ?)");
  insert.bind(1, request.id)
      .bind(2, code)
      .bind(3, request.status)
      .bind(4, request.expiresAt)
      .bind(5, encodeJSON(request))
      .bind(6, client)
      .run();
  transaction.commit();
  return {.request = request, .code = code};
}

std::optional<EnrollmentRequest> ControlPlaneStore::loadEnrollment(std::string_view requestId) {
  SQLiteStatement select(database_, "SELECT record FROM enrollment_requests WHERE id = ?");
  select.bind(1, requestId);
  return nextRecord<EnrollmentRequest>(select);
}

void ControlPlaneStore::saveEnrollment(const EnrollmentRequest& request) {
  SQLiteStatement update(database_,
                         "UPDATE enrollment_requests SET status = ?, record = ? WHERE id = ?");
  update.bind(1, request.status).bind(2, encodeJSON(request)).bind(3, request.id).run();
}

bool ControlPlaneStore::expireIfDue(EnrollmentRequest& request) {
  if (request.status != "pending")
    return false;
  const auto expiresAt = TavolinISO8601::date(request.expiresAt);
  if (expiresAt && clock_.now() < *expiresAt)
    return false;
  request.status = "expired";
  saveEnrollment(request);
  return true;
}

EnrollmentClaimResponse ControlPlaneStore::pollEnrollment(std::string_view requestId,
                                                          std::string_view code) {
  auto transaction = this->transaction();
  auto request = loadEnrollment(requestId);
  if (!request)
    throw ControlPlaneError::notFound("No such enrollment request.");
  SQLiteStatement select(database_, "SELECT code FROM enrollment_requests WHERE id = ?");
  select.bind(1, requestId);
  select.step();
  const std::string expected = select.text(0);
  const std::string given = normalisedCode(code);
  if (given.size() != expected.size() ||
      !crypto_detail::constantTimeEqual(given.data(), expected.data(), expected.size())) {
    throw ControlPlaneError::unauthorized();
  }
  expireIfDue(*request);

  EnrollmentClaimResponse response{.request = *request};
  if (request->status == "approved" && request->deviceId) {
    response.device = loadDevice(*request->deviceId);
    if (response.device)
      response.device = presented(*response.device);
    if (!request->deliveredAt && response.device) {
      response.agentToken = issueToken(TokenKind::agent, *request->deviceId, request->deviceName);
      request->deliveredAt = now();
      saveEnrollment(*request);
      response.request = *request;
    }
  }
  transaction.commit();
  return response;
}

EnrollmentRequest ControlPlaneStore::pendingEnrollment(std::string_view code) {
  SQLiteStatement select(database_,
                         "SELECT record FROM enrollment_requests WHERE code = ? AND status = "
                         "'pending' ORDER BY rowid DESC LIMIT 1");
  select.bind(1, normalisedCode(code));
  if (!select.step())
    throw ControlPlaneError::notFound("No pending enrollment request has this code.");
  auto request = decodeRecord<EnrollmentRequest>(select.text(0));
  if (expireIfDue(request))
    throw ControlPlaneError::conflict("enrollment_expired", "The pairing code has expired.");
  return request;
}

Device ControlPlaneStore::approveEnrollment(const std::string& ownerId,
                                            const ApproveEnrollmentPayload& payload) {
  auto transaction = this->transaction();
  auto request = pendingEnrollment(payload.code);
  const std::string timestamp = now();
  const auto displayName = payload.displayName.value_or("");
  Device device{.id = makeIdentifier("device_"),
                .ownerId = ownerId,
                .name = displayName.empty() ? request.deviceName : displayName,
                .hostname = request.hostname,
                .platform = request.platform,
                .publicKey = request.publicKey,
                .capabilities = request.capabilities,
                .status = "offline",
                .createdAt = timestamp,
                .updatedAt = timestamp};
  SQLiteStatement insert(database_, "INSERT INTO devices (id, owner_id, record) VALUES (?, ?, ?)");
  insert.bind(1, device.id).bind(2, device.ownerId).bind(3, encodeJSON(device)).run();

  request.status = "approved";
  request.approvedAt = timestamp;
  request.deviceId = device.id;
  saveEnrollment(request);
  transaction.commit();
  return presented(device);
}

EnrollmentRequestResponse ControlPlaneStore::denyEnrollment(
    const ApproveEnrollmentPayload& payload) {
  auto transaction = this->transaction();
  auto request = pendingEnrollment(payload.code);
  request.status = "denied";
  request.deniedAt = now();
  saveEnrollment(request);
  transaction.commit();
  return {.request = request, .code = normalisedCode(payload.code)};
}

std::optional<Device> ControlPlaneStore::loadDevice(std::string_view deviceId) {
  SQLiteStatement select(database_, "SELECT record FROM devices WHERE id = ?");
  select.bind(1, deviceId);
  return nextRecord<Device>(select);
}

void ControlPlaneStore::saveDevice(const Device& device) {
  SQLiteStatement update(database_, "UPDATE devices SET record = ? WHERE id = ?");
  update.bind(1, encodeJSON(device)).bind(2, device.id).run();
}

Device ControlPlaneStore::presented(Device device) const {
  // Online is a matter of time passing, so it is decided when the device is read.
  if (device.revokedAt) {
    device.status = "revoked";
    return device;
  }
  const auto lastSeen =
      device.lastSeenAt ? TavolinISO8601::date(*device.lastSeenAt) : std::optional<Date>();
  device.status = lastSeen && clock_.now() - *lastSeen < onlineWindow ? "online" : "offline";
  return device;
}

std::vector<Device> ControlPlaneStore::devices(const std::string& ownerId) {
  SQLiteStatement select(database_, "SELECT record FROM devices WHERE owner_id = ? ORDER BY rowid");
  select.bind(1, ownerId);
  std::vector<Device> out;
  while (select.step()) {
    auto device = decodeRecord<Device>(select.text(0));
    if (!device.revokedAt)
      out.push_back(presented(std::move(device)));
  }
  return out;
}

DeviceDetailResponse ControlPlaneStore::device(const std::string& ownerId,
                                               std::string_view deviceId) {
  const auto device = loadDevice(deviceId);
  if (!device || device->ownerId != ownerId)
    throw ControlPlaneError::notFound("No such device.");
  DeviceDetailResponse response{.device = presented(*device)};
  SQLiteStatement select(database_, "SELECT record FROM device_snapshots WHERE device_id = ?");
  select.bind(1, deviceId);
  if (select.step())
    response.snapshot = decodeRecord<DeviceSnapshot>(select.text(0));
  return response;
}

Device ControlPlaneStore::heartbeat(const std::string& deviceId, const HeartbeatPayload& payload) {
  auto transaction = this->transaction();
  auto device = loadDevice(deviceId);
  if (!device)
    throw ControlPlaneError::notFound("No such device.");
  const std::string timestamp = now();
  if (payload.hostname)
    device->hostname = payload.hostname;
  if (payload.osVersion)
    device->osVersion = payload.osVersion;
  if (payload.agentVersion)
    device->agentVersion = payload.agentVersion;
  if (payload.capabilities)
    device->capabilities = *payload.capabilities;
  device->lastSeenAt = timestamp;
  device->updatedAt = timestamp;
  device->status = "online";
  saveDevice(*device);

  const DeviceSnapshot snapshot{.id = makeIdentifier("snapshot_"),
                                .deviceId = deviceId,
                                .focusedApp = payload.focusedApp,
                                .runningApps = payload.runningApps,
                                .windows = payload.windows,
                                .capturedAt = timestamp};
  SQLiteStatement upsert(database_,
                         "INSERT INTO device_snapshots (device_id, record) VALUES (?, ?) "
                         "ON CONFLICT (device_id) DO UPDATE SET record = excluded.record");
  upsert.bind(1, deviceId).bind(2, encodeJSON(snapshot)).run();
  transaction.commit();
  return presented(*device);
}

DeviceRevocation ControlPlaneStore::revokeDevice(const Principal& by, std::string_view deviceId) {
  auto transaction = this->transaction();
  auto device = loadDevice(deviceId);
  if (!device || device->ownerId != by.ownerId)
    throw ControlPlaneError::notFound("No such device.");
  DeviceRevocation revocation;
  // A revoked device cannot gain sessions, so a second revocation has nothing left to do.
  if (!device->revokedAt) {
    const std::string timestamp = now();
    device->revokedAt = timestamp;
    device->updatedAt = timestamp;
    saveDevice(*device);

    // Read them all before ending any: the ending rewrites the rows this query walks.
    SQLiteStatement live(database_,
                         "SELECT record FROM sessions WHERE device_id = ? "
                         "AND status IN ('pending', 'active') ORDER BY rowid");
    live.bind(1, device->id);
    std::vector<RemoteSession> sessions;
    while (live.step())
      sessions.push_back(decodeRecord<RemoteSession>(live.text(0)));
    for (auto& session : sessions) {
      revocation.endedSessionIds.push_back(session.id);
      finishSession(std::move(session), kindName(by.kind), "device_revoked");
    }
  }
  revocation.device = presented(*device);
  transaction.commit();
  return revocation;
}

void ControlPlaneStore::saveSession(const RemoteSession& session) {
  SQLiteStatement upsert(database_,
                         "INSERT INTO sessions (id, controller_id, device_id, status, record) "
                         "VALUES (?, ?, ?, ?, ?) ON CONFLICT (id) DO UPDATE SET "
                         "status = excluded.status, record = excluded.record");
  upsert.bind(1, session.id)
      .bind(2, session.controllerId)
      .bind(3, session.deviceId)
      .bind(4, session.status)
      .bind(5, encodeJSON(session))
      .run();
}

RemoteSession ControlPlaneStore::createSession(const Principal& controller,
                                               const CreateSessionPayload& payload) {
  auto transaction = this->transaction();
  const auto device = loadDevice(payload.deviceId);
  if (!device || device->ownerId != controller.ownerId || device->revokedAt)
    throw ControlPlaneError::notFound("No such device.");
  const RemoteSession session{.id = makeIdentifier("session_"),
                              .ownerId = controller.ownerId,
                              .controllerId = controller.subjectId,
                              .deviceId = device->id,
                              .status = "pending",
                              .transportMode = payload.transportMode,
                              .metadata = payload.metadata,
                              .createdAt = now()};
  saveSession(session);
  transaction.commit();
  return session;
}

RemoteSession ControlPlaneStore::session(const SessionParty& party, std::string_view sessionId) {
  SQLiteStatement select(
      database_, "SELECT record FROM sessions WHERE id = ? AND " + sessionColumn(party) + " = ?");
  select.bind(1, sessionId).bind(2, party.id);
  if (!select.step())
    throw ControlPlaneError::notFound("No such session.");
  return decodeRecord<RemoteSession>(select.text(0));
}

std::vector<RemoteSession> ControlPlaneStore::agentSessions(const std::string& deviceId,
                                                            std::string_view status) {
  SQLiteStatement select(database_,
                         "SELECT record FROM sessions WHERE device_id = ? AND status = ? "
                         "ORDER BY rowid");
  select.bind(1, deviceId).bind(2, status);
  std::vector<RemoteSession> out;
  while (select.step())
    out.push_back(decodeRecord<RemoteSession>(select.text(0)));
  return out;
}

RemoteSession ControlPlaneStore::acceptSession(const std::string& deviceId,
                                               std::string_view sessionId,
                                               const JSONObject& metadata) {
  auto transaction = this->transaction();
  auto session = this->session(SessionParty::agent(deviceId), sessionId);
  if (session.status != "pending")
    throw ControlPlaneError::conflict("session_not_pending",
                                      "The session is " + session.status + ".");
  for (const auto& [key, value] : metadata)
    session.metadata.set(key, value);
  checkSessionMetadata(session.metadata);
  session.status = "active";
  session.acceptedAt = now();
  saveSession(session);
  transaction.commit();
  return session;
}

RemoteSession ControlPlaneStore::endSession(const SessionParty& party, std::string_view sessionId,
                                            const std::optional<std::string>& reason) {
  auto transaction = this->transaction();
  auto session = this->session(party, sessionId);
  if (session.status == "ended")
    return session;
  session = finishSession(std::move(session), party.senderName(), reason);
  transaction.commit();
  return session;
}

RemoteSession ControlPlaneStore::finishSession(RemoteSession session, std::string_view endedBy,
                                               const std::optional<std::string>& reason) {
  const std::string timestamp = now();
  session.status = "ended";
  session.endedAt = timestamp;
  session.metadata.set("endedBy", std::string(endedBy));
  if (reason)
    session.metadata.set("endReason", *reason);
  saveSession(session);

  // Nobody will run them now: a later session must not inherit another's input.
  SQLiteStatement queued(database_,
                         "SELECT record FROM commands WHERE session_id = ? AND status = 'queued'");
  queued.bind(1, session.id);
  while (queued.step()) {
    auto command = decodeRecord<RemoteCommand>(queued.text(0));
    command.status = "cancelled";
    command.completedAt = timestamp;
    saveCommand(command);
  }
  return session;
}

TavolinSignal ControlPlaneStore::appendSignal(const SessionParty& party, std::string_view sessionId,
                                              const SignalPayload& payload) {
  auto transaction = this->transaction();
  const auto session = this->session(party, sessionId);
  if (session.status == "ended")
    throw ControlPlaneError::conflict("session_ended");
  SQLiteStatement last(database_,
                       "SELECT coalesce(max(sequence), 0) FROM signals WHERE session_id = ?");
  last.bind(1, session.id);
  last.step();
  const TavolinSignal signal{.sequence = last.integer(0) + 1,
                             .id = makeIdentifier("signal_"),
                             .sessionId = session.id,
                             .ownerId = session.ownerId,
                             .controllerId = session.controllerId,
                             .deviceId = session.deviceId,
                             .sender = std::string(party.senderName()),
                             .type = payload.type,
                             .payload = payload.payload,
                             .createdAt = now()};
  SQLiteStatement insert(database_,
                         "INSERT INTO signals (session_id, sequence, record) VALUES (?, ?, ?)");
  insert.bind(1, signal.sessionId).bind(2, signal.sequence).bind(3, encodeJSON(signal)).run();
  transaction.commit();
  return signal;
}

std::vector<TavolinSignal> ControlPlaneStore::signalsAfter(std::string_view sessionId,
                                                           std::int64_t after, std::size_t limit) {
  SQLiteStatement select(database_,
                         "SELECT record FROM signals WHERE session_id = ? AND sequence > ? "
                         "ORDER BY sequence LIMIT ?");
  select.bind(1, sessionId).bind(2, after).bind(3, static_cast<std::int64_t>(limit));
  std::vector<TavolinSignal> out;
  while (select.step())
    out.push_back(decodeRecord<TavolinSignal>(select.text(0)));
  return out;
}

std::optional<std::string> ControlPlaneStore::sessionStatus(std::string_view sessionId) {
  SQLiteStatement select(database_, "SELECT status FROM sessions WHERE id = ?");
  select.bind(1, sessionId);
  if (!select.step())
    return std::nullopt;
  return select.text(0);
}

void ControlPlaneStore::saveCommand(const RemoteCommand& command) {
  SQLiteStatement upsert(
      database_,
      "INSERT INTO commands (id, session_id, device_id, controller_id, status, idempotency_key, "
      "record) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO UPDATE SET "
      "status = excluded.status, record = excluded.record");
  upsert.bind(1, command.id)
      .bind(2, command.sessionId)
      .bind(3, command.deviceId)
      .bind(4, command.controllerId)
      .bind(5, command.status)
      .bindOptional(6, command.idempotencyKey)
      .bind(7, encodeJSON(command))
      .run();
}

RemoteCommand ControlPlaneStore::enqueueCommand(const std::string& controllerId,
                                                std::string_view sessionId,
                                                const EnqueueCommandPayload& payload) {
  auto transaction = this->transaction();
  const auto session = this->session(SessionParty::controller(controllerId), sessionId);
  if (payload.idempotencyKey) {
    SQLiteStatement existing(
        database_, "SELECT record FROM commands WHERE session_id = ? AND idempotency_key = ?");
    existing.bind(1, session.id).bind(2, *payload.idempotencyKey);
    if (existing.step())
      return decodeRecord<RemoteCommand>(existing.text(0));
  }
  if (session.status == "ended")
    throw ControlPlaneError::conflict("session_ended");
  if (payload.type.empty())
    throw ControlPlaneError::badRequest("invalid_command", "The command type is empty.");
  const RemoteCommand command{.id = makeIdentifier("command_"),
                              .sessionId = session.id,
                              .controllerId = session.controllerId,
                              .deviceId = session.deviceId,
                              .type = payload.type,
                              .payload = payload.payload,
                              .status = "queued",
                              .idempotencyKey = payload.idempotencyKey,
                              .createdAt = now()};
  saveCommand(command);
  transaction.commit();
  return command;
}

std::vector<RemoteCommand> ControlPlaneStore::claimCommands(const std::string& deviceId,
                                                            std::int64_t limit) {
  limit = std::clamp<std::int64_t>(limit, 1, maxClaimLimit);
  auto transaction = this->transaction();
  SQLiteStatement select(database_,
                         "SELECT c.record FROM commands c JOIN sessions s ON s.id = c.session_id "
                         "WHERE c.device_id = ? AND c.status = 'queued' AND s.status = 'active' "
                         "ORDER BY c.rowid LIMIT ?");
  select.bind(1, deviceId).bind(2, limit);
  std::vector<RemoteCommand> claimed;
  while (select.step())
    claimed.push_back(decodeRecord<RemoteCommand>(select.text(0)));
  const std::string timestamp = now();
  for (auto& command : claimed) {
    command.status = "claimed";
    command.claimedAt = timestamp;
    saveCommand(command);
  }
  transaction.commit();
  return claimed;
}

RemoteCommand ControlPlaneStore::completeCommand(const std::string& deviceId,
                                                 std::string_view commandId,
                                                 const CompleteCommandPayload& payload) {
  auto transaction = this->transaction();
  SQLiteStatement select(database_, "SELECT record FROM commands WHERE id = ? AND device_id = ?");
  select.bind(1, commandId).bind(2, deviceId);
  if (!select.step())
    throw ControlPlaneError::notFound("No such command.");
  auto command = decodeRecord<RemoteCommand>(select.text(0));
  if (command.status != "claimed") {
    throw ControlPlaneError::conflict("command_not_claimed",
                                      "The command is " + command.status + ".");
  }
  if (payload.status.empty())
    throw ControlPlaneError::badRequest("invalid_command", "The completion status is empty.");
  command.status = payload.status;
  command.result = payload.result;
  command.completedAt = now();
  saveCommand(command);
  transaction.commit();
  return command;
}

RemoteCommand ControlPlaneStore::controllerCommand(const std::string& controllerId,
                                                   std::string_view commandId) {
  SQLiteStatement select(database_,
                         "SELECT record FROM commands WHERE id = ? AND controller_id = ?");
  select.bind(1, commandId).bind(2, controllerId);
  if (!select.step())
    throw ControlPlaneError::notFound("No such command.");
  return decodeRecord<RemoteCommand>(select.text(0));
}

ScreenFrame ControlPlaneStore::storeScreenFrame(const std::string& deviceId,
                                                std::string_view sessionId,
                                                const ScreenFramePayload& payload) {
  auto transaction = this->transaction();
  const auto session = this->session(SessionParty::agent(deviceId), sessionId);
  const ScreenFrame frame{.id = makeIdentifier("frame_"),
                          .sessionId = session.id,
                          .deviceId = session.deviceId,
                          .format = payload.format,
                          .contentFormat = payload.contentFormat,
                          .encryption = payload.encryption,
                          .imageBase64 = payload.imageBase64,
                          .width = payload.width,
                          .height = payload.height,
                          .displayWidth = payload.displayWidth,
                          .displayHeight = payload.displayHeight,
                          .byteLength = payload.byteLength,
                          .capturedAt = payload.capturedAt,
                          .receivedAt = now()};
  // The agent captured it while the session was live; one that crosses the end on the way is
  // answered, so the agent's pass goes on, but a picture taken after the end is not kept.
  if (session.status == "ended")
    return frame;
  SQLiteStatement upsert(database_,
                         "INSERT INTO screen_frames (session_id, record) VALUES (?, ?) "
                         "ON CONFLICT (session_id) DO UPDATE SET record = excluded.record");
  upsert.bind(1, frame.sessionId).bind(2, encodeJSON(frame)).run();
  transaction.commit();
  return frame;
}

ScreenFrame ControlPlaneStore::latestScreenFrame(const std::string& controllerId,
                                                 std::string_view sessionId) {
  const auto session = this->session(SessionParty::controller(controllerId), sessionId);
  SQLiteStatement select(database_, "SELECT record FROM screen_frames WHERE session_id = ?");
  select.bind(1, session.id);
  if (!select.step())
    throw ControlPlaneError::notFound("No screen frame yet.");
  return decodeRecord<ScreenFrame>(select.text(0));
}

}  // namespace tavolin
