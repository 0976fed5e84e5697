#pragma once

// The typed client of the hosted control plane's REST interface. The same routes under
// /v1/controllers and /v1/local are served by an agent's local control plane, so pointed at an
// agent's local base URL the client talks to that agent directly.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TavolinCore/ControlPlane/HTTPClient.hpp"
#include "TavolinCore/Foundation/TavolinError.hpp"
#include "TavolinCore/Records/DirectAccessRecords.hpp"
#include "TavolinCore/Records/PhoneHostRecords.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Records/SecurityRecords.hpp"
#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

class TavolinAPIError : public TavolinError {
 public:
  enum class Kind { httpStatus, invalidURL, invalidResponse };

  // `body` is the response body when it is valid UTF-8, else empty.
  static TavolinAPIError httpStatus(int status, std::string body);
  static TavolinAPIError invalidURL();
  static TavolinAPIError invalidResponse();

  Kind kind() const { return kind_; }
  // The HTTP status for httpStatus, else 0.
  int status() const { return status_; }
  const std::string& body() const { return body_; }

 private:
  TavolinAPIError(Kind kind, std::string description, int status, std::string body)
      : TavolinError(std::move(description)),
        kind_(kind),
        status_(status),
        body_(std::move(body)) {}

  Kind kind_;
  int status_;
  std::string body_;
};

// Credentials that tell apart the overloads of one operation (which token authorises it).
struct OwnerToken {
  std::string value;
};
struct BootstrapToken {
  std::string value;
};
struct ControllerToken {
  std::string value;
};

// A small copyable value; it holds no mutable state, so any number of calls may run at once
// from any executor. Each operation returns the decoded record or throws: TavolinAPIError for
// a bad URL or a non-2xx status, JSONDecodingError for a 2xx body that is not the record
// (including an empty one), and the HTTP client's transport errors unchanged. No retries,
// redirects, caching or token refresh happen here; callers decide.
//
// Requests are fully built when an operation is called, so the returned awaitable does not
// refer to the client or to the arguments.
class TavolinAPIClient {
 public:
  TavolinAPIClient(std::string baseURL, std::shared_ptr<HTTPClient> session);

  const std::string& baseURL() const { return baseURL_; }
  const std::shared_ptr<HTTPClient>& session() const { return session_; }

  // Owner and account.
  Awaitable<OwnerStatus> ownerStatus() const;
  Awaitable<BootstrapOwnerResponse> bootstrapOwner(const std::string& bootstrapToken,
                                                   const BootstrapOwnerPayload& payload) const;
  Awaitable<CreateControllerResponse> createController(
      const OwnerToken& ownerToken, const CreateControllerPayload& payload) const;
  Awaitable<CreateControllerResponse> createController(
      const BootstrapToken& bootstrapToken, const CreateControllerPayload& payload) const;
  Awaitable<AuthSignInResponse> signInWithEmail(const EmailPasswordAuthPayload& payload) const;
  Awaitable<CreateControllerResponse> createAccountController(
      const std::string& authSessionToken, const CreateControllerPayload& payload) const;

  // Enrolment.
  Awaitable<EnrollmentRequestResponse> createEnrollmentRequest(
      const EnrollmentRequestPayload& payload) const;
  Awaitable<EnrollmentClaimResponse> pollEnrollment(const std::string& requestId,
                                                    const std::string& code) const;
  Awaitable<DeviceResponse> approveEnrollment(const OwnerToken& ownerToken,
                                              const ApproveEnrollmentPayload& payload) const;
  Awaitable<DeviceResponse> approveEnrollment(const ControllerToken& controllerToken,
                                              const ApproveEnrollmentPayload& payload) const;
  Awaitable<EnrollmentRequestResponse> denyEnrollment(
      const OwnerToken& ownerToken, const ApproveEnrollmentPayload& payload) const;
  Awaitable<EnrollmentRequestResponse> denyEnrollment(
      const ControllerToken& controllerToken, const ApproveEnrollmentPayload& payload) const;
  Awaitable<DevicesResponse> listControllerDevices(const std::string& controllerToken) const;
  Awaitable<DeviceDetailResponse> controllerDevice(const std::string& controllerToken,
                                                   const std::string& deviceId) const;
  Awaitable<DeviceResponse> revokeDevice(const OwnerToken& ownerToken,
                                         const std::string& deviceId) const;
  Awaitable<DeviceResponse> revokeDevice(const ControllerToken& controllerToken,
                                         const std::string& deviceId) const;

  // The agent.
  Awaitable<DeviceResponse> heartbeat(const std::string& agentToken,
                                      const HeartbeatPayload& payload) const;
  Awaitable<SessionsResponse> pendingSessions(const std::string& agentToken) const;
  Awaitable<SessionsResponse> activeSessions(const std::string& agentToken) const;
  Awaitable<TransportConfigResponse> agentTransportConfig(const std::string& agentToken,
                                                          const std::string& sessionId) const;
  Awaitable<SignalsResponse> agentSignals(const std::string& agentToken,
                                          const std::string& sessionId,
                                          std::int64_t afterSequence) const;
  Awaitable<SignalResponse> sendAgentSignal(const std::string& agentToken,
                                            const std::string& sessionId,
                                            const SignalPayload& payload) const;
  Awaitable<SessionResponse> acceptSession(const std::string& agentToken,
                                           const std::string& sessionId,
                                           const JSONObject& metadata) const;
  Awaitable<SessionResponse> endSession(const std::string& agentToken, const std::string& sessionId,
                                        const std::optional<std::string>& reason) const;
  Awaitable<CommandsResponse> claimCommands(const std::string& agentToken,
                                            std::int64_t limit) const;
  Awaitable<CommandResponse> completeCommand(const std::string& agentToken,
                                             const std::string& commandId,
                                             const CompleteCommandPayload& payload) const;
  Awaitable<ScreenFrameResponse> uploadScreenFrame(const std::string& agentToken,
                                                   const std::string& sessionId,
                                                   const ScreenFramePayload& payload) const;

  // Controllers: sessions, signals, commands and frames.
  Awaitable<SessionResponse> createSession(const std::string& controllerToken,
                                           const CreateSessionPayload& payload) const;
  Awaitable<SessionResponse> session(const std::string& controllerToken,
                                     const std::string& id) const;
  Awaitable<SessionResponse> endControllerSession(const std::string& controllerToken,
                                                  const std::string& sessionId,
                                                  const std::optional<std::string>& reason) const;
  Awaitable<TransportConfigResponse> controllerTransportConfig(const std::string& controllerToken,
                                                               const std::string& sessionId) const;
  Awaitable<SignalsResponse> controllerSignals(const std::string& controllerToken,
                                               const std::string& sessionId,
                                               std::int64_t afterSequence) const;
  Awaitable<SignalResponse> sendControllerSignal(const std::string& controllerToken,
                                                 const std::string& sessionId,
                                                 const SignalPayload& payload) const;
  Awaitable<CommandResponse> enqueueCommand(const std::string& controllerToken,
                                            const std::string& sessionId,
                                            const EnqueueCommandPayload& payload) const;
  Awaitable<CommandResponse> command(const std::string& controllerToken,
                                     const std::string& id) const;
  Awaitable<ScreenFrameResponse> latestScreenFrame(const std::string& controllerToken,
                                                   const std::string& sessionId) const;

  // Controllers: direct access and readiness.
  Awaitable<DirectAccessConfigResponse> directAccessConfig(
      const std::string& controllerToken) const;
  Awaitable<DirectAccessConfigResponse> rotateDirectAccessConfig(
      const std::string& controllerToken) const;
  Awaitable<DirectAccessRevocationResponse> revokeDirectAccess(
      const std::string& controllerToken) const;
  Awaitable<DirectReadinessResponse> directReadiness(const std::string& controllerToken) const;

  // Controllers: security audit.
  Awaitable<SecurityAuditResponse> securityAudit(const std::string& controllerToken) const;
  Awaitable<SecurityAuditResponse> blockSecurityPeer(const std::string& controllerToken,
                                                     const SecurityBlockPayload& payload) const;
  Awaitable<SecurityAuditResponse> unblockSecurityPeer(const std::string& controllerToken,
                                                       const SecurityUnblockPayload& payload) const;
  Awaitable<SecurityAuditResponse> updateSecurityRetention(
      const std::string& controllerToken, const SecurityRetentionPayload& payload) const;
  Awaitable<SecurityEmergencyStopResponse> emergencyStopSecurity(
      const std::string& controllerToken, const SecurityEmergencyStopPayload& payload) const;

  // Controllers: phone host mode.
  Awaitable<PhoneHostSnapshotResponse> phoneHostSnapshot(const std::string& controllerToken) const;
  Awaitable<PhoneHostSnapshotResponse> startPhoneHostBroadcast(
      const std::string& controllerToken) const;
  Awaitable<PhoneHostFrameResponse> uploadPhoneHostFrame(
      const std::string& controllerToken, const PhoneHostFrameUploadPayload& payload) const;
  Awaitable<PhoneHostLatestFrameResponse> latestPhoneHostFrame(
      const std::string& controllerToken) const;
  Awaitable<PhoneHostSnapshotResponse> stopPhoneHostViewer(
      const std::string& controllerToken) const;

  // Requests for the signal event stream (sent by TavolinSignalEventStream, not here):
  // GET .../sessions/<sessionId>/signals/events?after=<sequence>, accepting text/event-stream.
  // Throw TavolinAPIError::invalidURL when the URL cannot be formed.
  HTTPRequest agentSignalEventsRequest(const std::string& agentToken, const std::string& sessionId,
                                       std::int64_t afterSequence) const;
  HTTPRequest controllerSignalEventsRequest(const std::string& controllerToken,
                                            const std::string& sessionId,
                                            std::int64_t afterSequence) const;

 private:
  using QueryItems = std::vector<std::pair<std::string, std::string>>;

  // A request ready to send, or the failure that building it met (thrown when awaited).
  struct PreparedRequest {
    HTTPRequest request;
    std::exception_ptr failure;
  };

  // Builds the URL from the base URL plus `segments` (each escaped as one path segment) and
  // `query`; throws invalidURL.
  std::string makeURL(std::initializer_list<std::string_view> segments,
                      const QueryItems& query) const;

  PreparedRequest prepare(std::string method, std::initializer_list<std::string_view> segments,
                          const std::optional<std::string>& bearerToken, const HTTPHeaders& headers,
                          const QueryItems& query, std::optional<std::string> jsonBody) const;

  template <class Response>
  static Awaitable<Response> perform(std::shared_ptr<HTTPClient> session, PreparedRequest prepared);

  std::string baseURL_;
  std::shared_ptr<HTTPClient> session_;
};

}  // namespace tavolin
