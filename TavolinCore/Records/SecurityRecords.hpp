#pragma once

// Records of the security audit: the persisted events and blocks, what readers of the audit
// get, and the bodies of the security routes. Keys equal the field names; coding is the generic
// one of JSONCodec.hpp.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"

namespace tavolin {

// Every outcome an audit event carries. Readers (the menu, notifications, controllers) match on
// these exact texts, so writers take them from here.
namespace SecurityOutcome {
inline constexpr std::string_view authFailed = "auth_failed";
inline constexpr std::string_view rateLimited = "rate_limited";
// Pairing-code checks refused for every peer after too many wrong codes from all of them.
inline constexpr std::string_view pairingLocked = "pairing_locked";
inline constexpr std::string_view authorized = "authorized";
inline constexpr std::string_view webPaired = "web_paired";
inline constexpr std::string_view blocked = "blocked";
inline constexpr std::string_view blockAdded = "block_added";
inline constexpr std::string_view blockRemoved = "block_removed";
inline constexpr std::string_view retentionUpdated = "retention_updated";
inline constexpr std::string_view emergencyStop = "emergency_stop";
inline constexpr std::string_view sessionStarted = "session_started";
inline constexpr std::string_view iphoneMirroringOpened = "iphone_mirroring_opened";
inline constexpr std::string_view iphoneMirroringUnavailable = "iphone_mirroring_unavailable";
inline constexpr std::string_view phoneViewerStartRequested = "phone_viewer_start_requested";
inline constexpr std::string_view phoneViewerStopped = "phone_viewer_stopped";
inline constexpr std::string_view phoneFrameReceived = "phone_frame_received";
inline constexpr std::string_view publicAccessSeen = "public_access_seen";
inline constexpr std::string_view publicAccessDenied = "public_access_denied";
}  // namespace SecurityOutcome

struct SecurityAuditEvent {
  std::string id{};
  std::string occurredAt{};
  std::string remoteAddress{};
  std::string route{};
  std::string method{};
  std::string path{};
  std::string outcome{};
  std::optional<std::string> detail{};
  std::optional<std::string> controllerId{};
  std::optional<std::string> sessionId{};
  // How many identical refusals this event stands for; absent means one.
  std::optional<std::int64_t> count{};

  friend bool operator==(const SecurityAuditEvent&, const SecurityAuditEvent&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityAuditEvent, (),
                      (id, occurredAt, remoteAddress, route, method, path, outcome, detail,
                       controllerId, sessionId, count))

// A block without `expiresAt` never expires.
struct SecurityBlock {
  std::string ipAddress{};
  std::string blockedAt{};
  std::optional<std::string> expiresAt{};
  std::optional<std::string> reason{};

  friend bool operator==(const SecurityBlock&, const SecurityBlock&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityBlock, (), (ipAddress, blockedAt, expiresAt, reason))

struct SecurityRetentionPolicy {
  std::int64_t maxEvents{};
  std::int64_t retentionDays{};

  friend bool operator==(const SecurityRetentionPolicy&, const SecurityRetentionPolicy&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityRetentionPolicy, (), (maxEvents, retentionDays))

// `blocks` holds active blocks only.
struct SecurityAuditResponse {
  std::string generatedAt{};
  std::vector<SecurityAuditEvent> events{};
  std::vector<SecurityBlock> blocks{};
  std::optional<std::string> logPath{};
  std::optional<SecurityRetentionPolicy> retention{};

  friend bool operator==(const SecurityAuditResponse&, const SecurityAuditResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityAuditResponse, (), (generatedAt, events, blocks, logPath, retention))

// A missing or non-positive duration blocks forever.
struct SecurityBlockPayload {
  std::string ipAddress{};
  std::optional<std::int64_t> durationSeconds{};
  std::optional<std::string> reason{};

  friend bool operator==(const SecurityBlockPayload&, const SecurityBlockPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityBlockPayload, (), (ipAddress, durationSeconds, reason))

struct SecurityUnblockPayload {
  std::string ipAddress{};

  friend bool operator==(const SecurityUnblockPayload&, const SecurityUnblockPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityUnblockPayload, (), (ipAddress))

// A missing member keeps the current value.
struct SecurityRetentionPayload {
  std::optional<std::int64_t> maxEvents{};
  std::optional<std::int64_t> retentionDays{};

  friend bool operator==(const SecurityRetentionPayload&,
                         const SecurityRetentionPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityRetentionPayload, (), (maxEvents, retentionDays))

struct SecurityEmergencyStopPayload {
  bool revokeDirectAccess{};
  bool endActiveSessions{};
  std::optional<std::string> reason{};

  friend bool operator==(const SecurityEmergencyStopPayload&,
                         const SecurityEmergencyStopPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityEmergencyStopPayload, (),
                      (revokeDirectAccess, endActiveSessions, reason))

struct SecurityEmergencyStopResponse {
  std::string executedAt{};
  std::vector<std::string> endedSessionIds{};
  bool directAccessTokenAvailable{};
  SecurityAuditResponse audit{};

  friend bool operator==(const SecurityEmergencyStopResponse&,
                         const SecurityEmergencyStopResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SecurityEmergencyStopResponse, (),
                      (executedAt, endedSessionIds, directAccessTokenAvailable, audit))

}  // namespace tavolin
