#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlPlaneServer/SQLiteDatabase.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Clock.hpp"

namespace tavolin {

enum class TokenKind { owner, controller, agent };

// Who a bearer token speaks for. `subjectId` is the owner, controller or device id; `ownerId`
// is the owner all of them belong to.
struct Principal {
  TokenKind kind{};
  std::string subjectId{};
  std::string ownerId{};
};

// One side of a session: the device's agent or the controller that opened it.
struct SessionParty {
  enum class Side { agent, controller };
  Side side{};
  std::string id{};  // device id or controller id

  static SessionParty agent(std::string deviceId) { return {Side::agent, std::move(deviceId)}; }
  static SessionParty controller(std::string controllerId) {
    return {Side::controller, std::move(controllerId)};
  }
  // The `sender` of the signals this side sends.
  std::string_view senderName() const { return side == Side::agent ? "agent" : "controller"; }
};

// A revoked device as it now reads, and the sessions the revocation ended (their signal streams
// must be told).
struct DeviceRevocation {
  Device device{};
  std::vector<std::string> endedSessionIds{};
};

// Everything the control plane knows, in one SQLite file (WAL mode). Records are kept as their
// JSON beside the columns that queries need, so what is read back is exactly what was answered.
//
// Failures the caller should answer are thrown as ControlPlaneError: 404 for ids the caller may
// not see (also when they exist but belong to someone else), 409 for a state that forbids the
// change, 400 for values the JSON decoder cannot judge. Each operation is atomic, and nests in
// a transaction the caller holds (transaction()), so a request with several steps commits once.
//
// Confined to one thread. `clock` must outlive the store.
class ControlPlaneStore {
 public:
  static constexpr std::chrono::minutes enrollmentLifetime{10};
  // A device counts as online while its last heartbeat is younger than three heartbeat periods.
  static constexpr std::chrono::seconds onlineWindow{45};
  // Anyone may open enrolment requests, so each client (ClientAddress.hpp) has its own bound on
  // live ones; it holds across restarts, unlike the server's rate limits.
  static constexpr std::int64_t maxPendingEnrollmentsPerClient = 10;
  // A request that ran out or was denied is kept this long past its expiry, so its agent still
  // reads why, then pruned.
  static constexpr std::chrono::hours expiredEnrollmentRetention{1};
  static constexpr std::int64_t defaultClaimLimit = 20;
  static constexpr std::int64_t maxClaimLimit = 100;

  ControlPlaneStore(const std::filesystem::path& file, const Clock& clock);

  SQLiteTransaction transaction() { return SQLiteTransaction(database_); }

  // 256 random bits, base64url. Only the SHA-256 of a token is ever stored.
  static std::string makeToken();

  // The principal of `token`, or nothing for an unknown token or a revoked holder.
  std::optional<Principal> authenticate(std::string_view token);

  bool ownerExists();
  std::optional<Owner> owner();
  // 409 "owner_exists" when there is already an owner.
  BootstrapOwnerResponse bootstrapOwner(const BootstrapOwnerPayload& payload);
  // `ownerId` absent means "the owner" (bootstrap route): 409 "owner_missing" before bootstrap.
  CreateControllerResponse createController(std::optional<std::string> ownerId,
                                            const CreateControllerPayload& payload);

  // Records `client` as the requester. 429 "too_many_enrollment_requests" when that client
  // already has maxPendingEnrollmentsPerClient live requests.
  EnrollmentRequestResponse createEnrollmentRequest(const EnrollmentRequestPayload& payload,
                                                    std::string_view client);
  // The agent's poll. 404 for an unknown id, 401 for a wrong code. The agent token is made and
  // handed out on the first poll after approval and never again.
  EnrollmentClaimResponse pollEnrollment(std::string_view requestId, std::string_view code);
  // Approves the pending request with `code` (spaces and dashes ignored) for `ownerId` and
  // creates its device. 404 for no pending request with that code, 409 "enrollment_expired".
  Device approveEnrollment(const std::string& ownerId, const ApproveEnrollmentPayload& payload);
  // Denies the pending request with `code`, found and refused as approveEnrollment does; its
  // agent's poll then reads "denied" and never gets a token.
  EnrollmentRequestResponse denyEnrollment(const ApproveEnrollmentPayload& payload);

  std::vector<Device> devices(const std::string& ownerId);
  DeviceDetailResponse device(const std::string& ownerId, std::string_view deviceId);
  // Updates the device from the heartbeat and replaces its snapshot.
  Device heartbeat(const std::string& deviceId, const HeartbeatPayload& payload);
  // Revokes a device of `by`'s owner: its agent tokens stop authenticating, and its pending and
  // active sessions end with reason "device_revoked" as endSession ends them. Revoking again
  // changes nothing.
  DeviceRevocation revokeDevice(const Principal& by, std::string_view deviceId);

  // The controller's device must belong to its owner.
  RemoteSession createSession(const Principal& controller, const CreateSessionPayload& payload);
  RemoteSession session(const SessionParty& party, std::string_view sessionId);
  // The device's sessions with `status`, oldest first.
  std::vector<RemoteSession> agentSessions(const std::string& deviceId, std::string_view status);
  // pending → active; the agent's metadata is laid over the controller's, so keys the controller
  // set (its public key, the requested transport) stay readable. 409 "session_not_pending";
  // 400 "field_too_long" when the two together pass the metadata limits.
  RemoteSession acceptSession(const std::string& deviceId, std::string_view sessionId,
                              const JSONObject& metadata);
  // → ended. Ending an ended session changes nothing and answers it as it is. Commands still
  // queued for the session are cancelled.
  RemoteSession endSession(const SessionParty& party, std::string_view sessionId,
                           const std::optional<std::string>& reason);

  // Appends with the session's next sequence (1, 2, ...). 409 "session_ended".
  TavolinSignal appendSignal(const SessionParty& party, std::string_view sessionId,
                             const SignalPayload& payload);
  // Signals with a sequence above `after`, in order, at most `limit`. No access check: callers
  // check the session first.
  std::vector<TavolinSignal> signalsAfter(std::string_view sessionId, std::int64_t after,
                                          std::size_t limit);
  // The session's status, or nothing when it does not exist. No access check.
  std::optional<std::string> sessionStatus(std::string_view sessionId);

  // Queues a command, or answers the one already queued under the same idempotency key in this
  // session. 409 "session_ended".
  RemoteCommand enqueueCommand(const std::string& controllerId, std::string_view sessionId,
                               const EnqueueCommandPayload& payload);
  // Claims the device's oldest queued commands of active sessions; `limit` is clamped to
  // 1 ... maxClaimLimit.
  std::vector<RemoteCommand> claimCommands(const std::string& deviceId, std::int64_t limit);
  // 409 "command_not_claimed" unless the command is claimed and not yet complete.
  RemoteCommand completeCommand(const std::string& deviceId, std::string_view commandId,
                                const CompleteCommandPayload& payload);
  RemoteCommand controllerCommand(const std::string& controllerId, std::string_view commandId);

  // Keeps only the newest frame per session; one for an ended session is answered, not kept.
  ScreenFrame storeScreenFrame(const std::string& deviceId, std::string_view sessionId,
                               const ScreenFramePayload& payload);
  ScreenFrame latestScreenFrame(const std::string& controllerId, std::string_view sessionId);

 private:
  std::string now() const;
  std::string issueToken(TokenKind kind, const std::string& subjectId, std::string_view label);
  std::optional<EnrollmentRequest> loadEnrollment(std::string_view requestId);
  void saveEnrollment(const EnrollmentRequest& request);
  // Marks a pending request past its expiry as expired; true when it did.
  bool expireIfDue(EnrollmentRequest& request);
  // The newest pending request with `code` (spaces and dashes ignored). 404 when there is none,
  // 409 "enrollment_expired" when it has run out.
  EnrollmentRequest pendingEnrollment(std::string_view code);
  std::optional<Device> loadDevice(std::string_view deviceId);
  void saveDevice(const Device& device);
  Device presented(Device device) const;
  void saveSession(const RemoteSession& session);
  // Ends a session that is not ended yet and cancels the commands still queued for it.
  RemoteSession finishSession(RemoteSession session, std::string_view endedBy,
                              const std::optional<std::string>& reason);
  void saveCommand(const RemoteCommand& command);

  const Clock& clock_;
  SQLiteDatabase database_;
};

}  // namespace tavolin
