#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"

#include <algorithm>
#include <cctype>

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url.hpp>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"

namespace tavolin {

namespace urls = boost::urls;

namespace {

constexpr std::string_view jsonMediaType = "application/json";

// Setting a header that is already present replaces its value in place.
void setHeader(HTTPHeaders& headers, std::string name, std::string value) {
  for (auto& [existingName, existingValue] : headers) {
    if (equalsIgnoringCase(existingName, name)) {
      existingValue = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::string bearer(const std::string& token) {
  return "Bearer " + token;
}

}  // namespace

TavolinAPIError TavolinAPIError::httpStatus(int status, std::string body) {
  return TavolinAPIError(Kind::httpStatus, "HTTP " + std::to_string(status) + ": " + body, status,
                         body);
}

TavolinAPIError TavolinAPIError::invalidURL() {
  return TavolinAPIError(Kind::invalidURL, "Invalid API URL.", 0, {});
}

TavolinAPIError TavolinAPIError::invalidResponse() {
  return TavolinAPIError(Kind::invalidResponse, "The server returned an invalid response.", 0, {});
}

TavolinAPIClient::TavolinAPIClient(std::string baseURL, std::shared_ptr<HTTPClient> session)
    : baseURL_(std::move(baseURL)), session_(std::move(session)) {}

std::string TavolinAPIClient::makeURL(std::initializer_list<std::string_view> segments,
                                      const QueryItems& query) const {
  auto parsed = urls::parse_uri(baseURL_);
  if (!parsed)
    throw TavolinAPIError::invalidURL();
  urls::url url = *parsed;
  if ((url.scheme_id() != urls::scheme::http && url.scheme_id() != urls::scheme::https) ||
      url.encoded_host().empty()) {
    throw TavolinAPIError::invalidURL();
  }
  url.remove_fragment();

  // Segments go below the base path, never replacing it; a trailing "/" on the base adds no
  // empty segment.
  if (!url.segments().empty() && url.segments().back().empty())
    url.segments().pop_back();
  for (const auto segment : segments) {
    // A caller's value of "." or ".." would otherwise climb the path once normalised.
    if (segment == "." || segment == "..") {
      url.encoded_segments().push_back(segment == "." ? "%2E" : "%2E%2E");
    } else {
      url.segments().push_back(segment);
    }
  }

  if (!query.empty()) {
    // Everything but unreserved characters is escaped, so "+" and "&" in a value survive
    // servers that decode queries as forms.
    url.remove_query();
    auto params = url.encoded_params();
    for (const auto& [name, value] : query) {
      params.append({urls::encode(name, urls::unreserved_chars),
                     urls::encode(value, urls::unreserved_chars)});
    }
  }
  return std::string(url.buffer());
}

TavolinAPIClient::PreparedRequest TavolinAPIClient::prepare(
    std::string method, std::initializer_list<std::string_view> segments,
    const std::optional<std::string>& bearerToken, const HTTPHeaders& headers,
    const QueryItems& query, std::optional<std::string> jsonBody) const {
  PreparedRequest prepared;
  try {
    auto& request = prepared.request;
    request.method = std::move(method);
    request.url = makeURL(segments, query);
    request.timeout = std::chrono::seconds(60);
    setHeader(request.headers, "accept", std::string(jsonMediaType));
    if (bearerToken)
      setHeader(request.headers, "authorization", bearer(*bearerToken));
    for (const auto& [name, value] : headers)
      setHeader(request.headers, name, value);
    if (jsonBody) {
      request.body = std::move(*jsonBody);
      setHeader(request.headers, "content-type", std::string(jsonMediaType));
    }
  } catch (...) {
    prepared.failure = std::current_exception();
  }
  return prepared;
}

template <class Response>
Awaitable<Response> TavolinAPIClient::perform(std::shared_ptr<HTTPClient> session,
                                              PreparedRequest prepared) {
  if (prepared.failure)
    std::rethrow_exception(prepared.failure);
  HTTPResponse response;
  try {
    response = co_await session->send(std::move(prepared.request));
  } catch (const HTTPMalformedResponse&) {
    throw TavolinAPIError::invalidResponse();
  } catch (const HTTPUnsupportedURL&) {
    throw TavolinAPIError::invalidURL();
  }
  if (response.status < 200 || response.status > 299) {
    throw TavolinAPIError::httpStatus(response.status,
                                      isValidUTF8(response.body) ? response.body : std::string());
  }
  co_return decodeJSON<Response>(response.body);
}

namespace {

const std::optional<std::string> noToken;
const HTTPHeaders noHeaders;
const std::vector<std::pair<std::string, std::string>> noQuery;
const std::optional<std::string> noBody;

HTTPHeaders bootstrapHeader(const std::string& bootstrapToken) {
  return {{"x-bootstrap-token", bootstrapToken}};
}

}  // namespace

// Owner and account.

Awaitable<OwnerStatus> TavolinAPIClient::ownerStatus() const {
  return perform<OwnerStatus>(
      session_, prepare("GET", {"v1", "owner", "status"}, noToken, noHeaders, noQuery, noBody));
}

Awaitable<BootstrapOwnerResponse> TavolinAPIClient::bootstrapOwner(
    const std::string& bootstrapToken, const BootstrapOwnerPayload& payload) const {
  return perform<BootstrapOwnerResponse>(
      session_, prepare("POST", {"v1", "bootstrap", "owner"}, noToken,
                        bootstrapHeader(bootstrapToken), noQuery, encodeJSON(payload)));
}

Awaitable<CreateControllerResponse> TavolinAPIClient::createController(
    const OwnerToken& ownerToken, const CreateControllerPayload& payload) const {
  return perform<CreateControllerResponse>(
      session_, prepare("POST", {"v1", "owner", "controllers"}, ownerToken.value, noHeaders,
                        noQuery, encodeJSON(payload)));
}

Awaitable<CreateControllerResponse> TavolinAPIClient::createController(
    const BootstrapToken& bootstrapToken, const CreateControllerPayload& payload) const {
  return perform<CreateControllerResponse>(
      session_, prepare("POST", {"v1", "bootstrap", "controllers"}, noToken,
                        bootstrapHeader(bootstrapToken.value), noQuery, encodeJSON(payload)));
}

Awaitable<AuthSignInResponse> TavolinAPIClient::signInWithEmail(
    const EmailPasswordAuthPayload& payload) const {
  return perform<AuthSignInResponse>(
      session_, prepare("POST", {"api", "auth", "sign-in", "email"}, noToken, noHeaders, noQuery,
                        encodeJSON(payload)));
}

Awaitable<CreateControllerResponse> TavolinAPIClient::createAccountController(
    const std::string& authSessionToken, const CreateControllerPayload& payload) const {
  return perform<CreateControllerResponse>(
      session_, prepare("POST", {"v1", "account", "controllers"}, authSessionToken, noHeaders,
                        noQuery, encodeJSON(payload)));
}

// Enrolment.

Awaitable<EnrollmentRequestResponse> TavolinAPIClient::createEnrollmentRequest(
    const EnrollmentRequestPayload& payload) const {
  return perform<EnrollmentRequestResponse>(
      session_, prepare("POST", {"v1", "agents", "enrollment-requests"}, noToken, noHeaders,
                        noQuery, encodeJSON(payload)));
}

Awaitable<EnrollmentClaimResponse> TavolinAPIClient::pollEnrollment(const std::string& requestId,
                                                                    const std::string& code) const {
  return perform<EnrollmentClaimResponse>(
      session_, prepare("GET", {"v1", "agents", "enrollment-requests", requestId}, noToken,
                        noHeaders, {{"code", code}}, noBody));
}

Awaitable<DeviceResponse> TavolinAPIClient::approveEnrollment(
    const OwnerToken& ownerToken, const ApproveEnrollmentPayload& payload) const {
  return perform<DeviceResponse>(
      session_, prepare("POST", {"v1", "owner", "enrollment-requests", "approve"}, ownerToken.value,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<DeviceResponse> TavolinAPIClient::approveEnrollment(
    const ControllerToken& controllerToken, const ApproveEnrollmentPayload& payload) const {
  return perform<DeviceResponse>(
      session_, prepare("POST", {"v1", "controllers", "enrollment-requests", "approve"},
                        controllerToken.value, noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<EnrollmentRequestResponse> TavolinAPIClient::denyEnrollment(
    const OwnerToken& ownerToken, const ApproveEnrollmentPayload& payload) const {
  return perform<EnrollmentRequestResponse>(
      session_, prepare("POST", {"v1", "owner", "enrollment-requests", "deny"}, ownerToken.value,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<EnrollmentRequestResponse> TavolinAPIClient::denyEnrollment(
    const ControllerToken& controllerToken, const ApproveEnrollmentPayload& payload) const {
  return perform<EnrollmentRequestResponse>(
      session_, prepare("POST", {"v1", "controllers", "enrollment-requests", "deny"},
                        controllerToken.value, noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<DevicesResponse> TavolinAPIClient::listControllerDevices(
    const std::string& controllerToken) const {
  return perform<DevicesResponse>(session_, prepare("GET", {"v1", "controllers", "devices"},
                                                    controllerToken, noHeaders, noQuery, noBody));
}

Awaitable<DeviceDetailResponse> TavolinAPIClient::controllerDevice(
    const std::string& controllerToken, const std::string& deviceId) const {
  return perform<DeviceDetailResponse>(
      session_, prepare("GET", {"v1", "controllers", "devices", deviceId}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<DeviceResponse> TavolinAPIClient::revokeDevice(const OwnerToken& ownerToken,
                                                         const std::string& deviceId) const {
  return perform<DeviceResponse>(
      session_, prepare("POST", {"v1", "owner", "devices", deviceId, "revoke"}, ownerToken.value,
                        noHeaders, noQuery, noBody));
}

Awaitable<DeviceResponse> TavolinAPIClient::revokeDevice(const ControllerToken& controllerToken,
                                                         const std::string& deviceId) const {
  return perform<DeviceResponse>(
      session_, prepare("POST", {"v1", "controllers", "devices", deviceId, "revoke"},
                        controllerToken.value, noHeaders, noQuery, noBody));
}

// The agent.

Awaitable<DeviceResponse> TavolinAPIClient::heartbeat(const std::string& agentToken,
                                                      const HeartbeatPayload& payload) const {
  return perform<DeviceResponse>(session_, prepare("POST", {"v1", "agent", "heartbeat"}, agentToken,
                                                   noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<SessionsResponse> TavolinAPIClient::pendingSessions(const std::string& agentToken) const {
  return perform<SessionsResponse>(session_, prepare("GET", {"v1", "agent", "sessions", "pending"},
                                                     agentToken, noHeaders, noQuery, noBody));
}

Awaitable<SessionsResponse> TavolinAPIClient::activeSessions(const std::string& agentToken) const {
  return perform<SessionsResponse>(session_, prepare("GET", {"v1", "agent", "sessions", "active"},
                                                     agentToken, noHeaders, noQuery, noBody));
}

Awaitable<TransportConfigResponse> TavolinAPIClient::agentTransportConfig(
    const std::string& agentToken, const std::string& sessionId) const {
  return perform<TransportConfigResponse>(
      session_, prepare("GET", {"v1", "agent", "sessions", sessionId, "transport"}, agentToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<SignalsResponse> TavolinAPIClient::agentSignals(const std::string& agentToken,
                                                          const std::string& sessionId,
                                                          std::int64_t afterSequence) const {
  return perform<SignalsResponse>(
      session_, prepare("GET", {"v1", "agent", "sessions", sessionId, "signals"}, agentToken,
                        noHeaders, {{"after", std::to_string(afterSequence)}}, noBody));
}

Awaitable<SignalResponse> TavolinAPIClient::sendAgentSignal(const std::string& agentToken,
                                                            const std::string& sessionId,
                                                            const SignalPayload& payload) const {
  return perform<SignalResponse>(
      session_, prepare("POST", {"v1", "agent", "sessions", sessionId, "signals"}, agentToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<SessionResponse> TavolinAPIClient::acceptSession(const std::string& agentToken,
                                                           const std::string& sessionId,
                                                           const JSONObject& metadata) const {
  return perform<SessionResponse>(
      session_, prepare("POST", {"v1", "agent", "sessions", sessionId, "accept"}, agentToken,
                        noHeaders, noQuery, encodeJSON(SessionMetadataPayload{metadata})));
}

Awaitable<SessionResponse> TavolinAPIClient::endSession(
    const std::string& agentToken, const std::string& sessionId,
    const std::optional<std::string>& reason) const {
  return perform<SessionResponse>(
      session_, prepare("POST", {"v1", "agent", "sessions", sessionId, "end"}, agentToken,
                        noHeaders, noQuery, encodeJSON(EndSessionPayload{reason})));
}

Awaitable<CommandsResponse> TavolinAPIClient::claimCommands(const std::string& agentToken,
                                                            std::int64_t limit) const {
  return perform<CommandsResponse>(
      session_, prepare("GET", {"v1", "agent", "commands"}, agentToken, noHeaders,
                        {{"limit", std::to_string(limit)}}, noBody));
}

Awaitable<CommandResponse> TavolinAPIClient::completeCommand(
    const std::string& agentToken, const std::string& commandId,
    const CompleteCommandPayload& payload) const {
  return perform<CommandResponse>(
      session_, prepare("POST", {"v1", "agent", "commands", commandId, "complete"}, agentToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<ScreenFrameResponse> TavolinAPIClient::uploadScreenFrame(
    const std::string& agentToken, const std::string& sessionId,
    const ScreenFramePayload& payload) const {
  return perform<ScreenFrameResponse>(
      session_, prepare("POST", {"v1", "agent", "sessions", sessionId, "screen-frames"}, agentToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

// Controllers: sessions, signals, commands and frames.

Awaitable<SessionResponse> TavolinAPIClient::createSession(
    const std::string& controllerToken, const CreateSessionPayload& payload) const {
  return perform<SessionResponse>(
      session_, prepare("POST", {"v1", "controllers", "sessions"}, controllerToken, noHeaders,
                        noQuery, encodeJSON(payload)));
}

Awaitable<SessionResponse> TavolinAPIClient::session(const std::string& controllerToken,
                                                     const std::string& id) const {
  return perform<SessionResponse>(session_, prepare("GET", {"v1", "controllers", "sessions", id},
                                                    controllerToken, noHeaders, noQuery, noBody));
}

Awaitable<SessionResponse> TavolinAPIClient::endControllerSession(
    const std::string& controllerToken, const std::string& sessionId,
    const std::optional<std::string>& reason) const {
  return perform<SessionResponse>(
      session_,
      prepare("POST", {"v1", "controllers", "sessions", sessionId, "end"}, controllerToken,
              noHeaders, noQuery, encodeJSON(EndSessionPayload{reason})));
}

Awaitable<TransportConfigResponse> TavolinAPIClient::controllerTransportConfig(
    const std::string& controllerToken, const std::string& sessionId) const {
  return perform<TransportConfigResponse>(
      session_, prepare("GET", {"v1", "controllers", "sessions", sessionId, "transport"},
                        controllerToken, noHeaders, noQuery, noBody));
}

Awaitable<SignalsResponse> TavolinAPIClient::controllerSignals(const std::string& controllerToken,
                                                               const std::string& sessionId,
                                                               std::int64_t afterSequence) const {
  return perform<SignalsResponse>(
      session_,
      prepare("GET", {"v1", "controllers", "sessions", sessionId, "signals"}, controllerToken,
              noHeaders, {{"after", std::to_string(afterSequence)}}, noBody));
}

Awaitable<SignalResponse> TavolinAPIClient::sendControllerSignal(
    const std::string& controllerToken, const std::string& sessionId,
    const SignalPayload& payload) const {
  return perform<SignalResponse>(
      session_, prepare("POST", {"v1", "controllers", "sessions", sessionId, "signals"},
                        controllerToken, noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<CommandResponse> TavolinAPIClient::enqueueCommand(
    const std::string& controllerToken, const std::string& sessionId,
    const EnqueueCommandPayload& payload) const {
  return perform<CommandResponse>(
      session_, prepare("POST", {"v1", "controllers", "sessions", sessionId, "commands"},
                        controllerToken, noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<CommandResponse> TavolinAPIClient::command(const std::string& controllerToken,
                                                     const std::string& id) const {
  return perform<CommandResponse>(session_, prepare("GET", {"v1", "controllers", "commands", id},
                                                    controllerToken, noHeaders, noQuery, noBody));
}

Awaitable<ScreenFrameResponse> TavolinAPIClient::latestScreenFrame(
    const std::string& controllerToken, const std::string& sessionId) const {
  return perform<ScreenFrameResponse>(
      session_, prepare("GET", {"v1", "controllers", "sessions", sessionId, "screen", "latest"},
                        controllerToken, noHeaders, noQuery, noBody));
}

// Controllers: direct access and readiness.

Awaitable<DirectAccessConfigResponse> TavolinAPIClient::directAccessConfig(
    const std::string& controllerToken) const {
  return perform<DirectAccessConfigResponse>(
      session_, prepare("GET", {"v1", "local", "direct-access"}, controllerToken, noHeaders,
                        noQuery, noBody));
}

Awaitable<DirectAccessConfigResponse> TavolinAPIClient::rotateDirectAccessConfig(
    const std::string& controllerToken) const {
  return perform<DirectAccessConfigResponse>(
      session_, prepare("POST", {"v1", "local", "direct-access", "rotate"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<DirectAccessRevocationResponse> TavolinAPIClient::revokeDirectAccess(
    const std::string& controllerToken) const {
  return perform<DirectAccessRevocationResponse>(
      session_, prepare("POST", {"v1", "local", "direct-access", "revoke"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<DirectReadinessResponse> TavolinAPIClient::directReadiness(
    const std::string& controllerToken) const {
  return perform<DirectReadinessResponse>(
      session_, prepare("GET", {"v1", "local", "direct-readiness"}, controllerToken, noHeaders,
                        noQuery, noBody));
}

// Controllers: security audit.

Awaitable<SecurityAuditResponse> TavolinAPIClient::securityAudit(
    const std::string& controllerToken) const {
  return perform<SecurityAuditResponse>(
      session_, prepare("GET", {"v1", "controllers", "security", "events"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<SecurityAuditResponse> TavolinAPIClient::blockSecurityPeer(
    const std::string& controllerToken, const SecurityBlockPayload& payload) const {
  return perform<SecurityAuditResponse>(
      session_, prepare("POST", {"v1", "controllers", "security", "blocks"}, controllerToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<SecurityAuditResponse> TavolinAPIClient::unblockSecurityPeer(
    const std::string& controllerToken, const SecurityUnblockPayload& payload) const {
  return perform<SecurityAuditResponse>(
      session_, prepare("POST", {"v1", "controllers", "security", "blocks", "remove"},
                        controllerToken, noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<SecurityAuditResponse> TavolinAPIClient::updateSecurityRetention(
    const std::string& controllerToken, const SecurityRetentionPayload& payload) const {
  return perform<SecurityAuditResponse>(
      session_, prepare("POST", {"v1", "controllers", "security", "retention"}, controllerToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<SecurityEmergencyStopResponse> TavolinAPIClient::emergencyStopSecurity(
    const std::string& controllerToken, const SecurityEmergencyStopPayload& payload) const {
  return perform<SecurityEmergencyStopResponse>(
      session_, prepare("POST", {"v1", "controllers", "security", "emergency-stop"},
                        controllerToken, noHeaders, noQuery, encodeJSON(payload)));
}

// Controllers: phone host mode.

Awaitable<PhoneHostSnapshotResponse> TavolinAPIClient::phoneHostSnapshot(
    const std::string& controllerToken) const {
  return perform<PhoneHostSnapshotResponse>(
      session_, prepare("GET", {"v1", "controllers", "phone-host", "snapshot"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<PhoneHostSnapshotResponse> TavolinAPIClient::startPhoneHostBroadcast(
    const std::string& controllerToken) const {
  return perform<PhoneHostSnapshotResponse>(
      session_, prepare("POST", {"v1", "controllers", "phone-host", "start"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

Awaitable<PhoneHostFrameResponse> TavolinAPIClient::uploadPhoneHostFrame(
    const std::string& controllerToken, const PhoneHostFrameUploadPayload& payload) const {
  return perform<PhoneHostFrameResponse>(
      session_, prepare("POST", {"v1", "controllers", "phone-host", "frames"}, controllerToken,
                        noHeaders, noQuery, encodeJSON(payload)));
}

Awaitable<PhoneHostLatestFrameResponse> TavolinAPIClient::latestPhoneHostFrame(
    const std::string& controllerToken) const {
  return perform<PhoneHostLatestFrameResponse>(
      session_, prepare("GET", {"v1", "controllers", "phone-host", "frame", "latest"},
                        controllerToken, noHeaders, noQuery, noBody));
}

Awaitable<PhoneHostSnapshotResponse> TavolinAPIClient::stopPhoneHostViewer(
    const std::string& controllerToken) const {
  return perform<PhoneHostSnapshotResponse>(
      session_, prepare("POST", {"v1", "controllers", "phone-host", "stop"}, controllerToken,
                        noHeaders, noQuery, noBody));
}

// Signal event stream requests.

namespace {

HTTPRequest signalEventsRequest(std::string url, const std::string& token) {
  HTTPRequest request;
  request.method = "GET";
  request.url = std::move(url);
  request.timeout = std::chrono::seconds(60);
  request.headers = {{"accept", "text/event-stream"}, {"authorization", bearer(token)}};
  return request;
}

}  // namespace

HTTPRequest TavolinAPIClient::agentSignalEventsRequest(const std::string& agentToken,
                                                       const std::string& sessionId,
                                                       std::int64_t afterSequence) const {
  return signalEventsRequest(makeURL({"v1", "agent", "sessions", sessionId, "signals", "events"},
                                     {{"after", std::to_string(afterSequence)}}),
                             agentToken);
}

HTTPRequest TavolinAPIClient::controllerSignalEventsRequest(const std::string& controllerToken,
                                                            const std::string& sessionId,
                                                            std::int64_t afterSequence) const {
  return signalEventsRequest(
      makeURL({"v1", "controllers", "sessions", sessionId, "signals", "events"},
              {{"after", std::to_string(afterSequence)}}),
      controllerToken);
}

}  // namespace tavolin
