#pragma once

// The JSON records every route to a controller uses: the hosted control plane, its signal
// stream, the local control plane and the data channels. Keys equal the field names; fields are
// declared in wire order. Coding is the generic one of JSONCodec.hpp.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

// Entity records of the control planes.

struct OwnerStatus {
  bool ownerExists{};
  bool bootstrapConfigured{};

  friend bool operator==(const OwnerStatus&, const OwnerStatus&) = default;
};
BOOST_DESCRIBE_STRUCT(OwnerStatus, (), (ownerExists, bootstrapConfigured))

struct Owner {
  std::string id{};
  std::optional<std::string> email{};
  std::string displayName{};
  std::string createdAt{};
  std::string updatedAt{};

  friend bool operator==(const Owner&, const Owner&) = default;
};
BOOST_DESCRIBE_STRUCT(Owner, (), (id, email, displayName, createdAt, updatedAt))

struct AuthUser {
  std::string id{};
  std::string email{};
  std::optional<std::string> name{};

  friend bool operator==(const AuthUser&, const AuthUser&) = default;
};
BOOST_DESCRIBE_STRUCT(AuthUser, (), (id, email, name))

struct Controller {
  std::string id{};
  std::string ownerId{};
  std::string name{};
  std::string platform{};
  std::optional<std::string> publicKey{};
  std::string createdAt{};
  std::optional<std::string> lastSeenAt{};
  std::optional<std::string> revokedAt{};

  friend bool operator==(const Controller&, const Controller&) = default;
};
BOOST_DESCRIBE_STRUCT(Controller, (),
                      (id, ownerId, name, platform, publicKey, createdAt, lastSeenAt, revokedAt))

struct Device {
  std::string id{};
  std::string ownerId{};
  std::string name{};
  std::optional<std::string> hostname{};
  std::string platform{};
  std::optional<std::string> publicKey{};
  std::optional<std::string> agentVersion{};
  std::optional<std::string> osVersion{};
  JSONObject capabilities{};
  std::string status{};
  std::string createdAt{};
  std::string updatedAt{};
  std::optional<std::string> lastSeenAt{};
  std::optional<std::string> revokedAt{};

  friend bool operator==(const Device&, const Device&) = default;
};
BOOST_DESCRIBE_STRUCT(Device, (),
                      (id, ownerId, name, hostname, platform, publicKey, agentVersion, osVersion,
                       capabilities, status, createdAt, updatedAt, lastSeenAt, revokedAt))

struct EnrollmentRequest {
  std::string id{};
  std::string deviceName{};
  std::optional<std::string> hostname{};
  std::string platform{};
  std::optional<std::string> publicKey{};
  JSONObject capabilities{};
  std::string status{};
  std::string expiresAt{};
  std::string createdAt{};
  std::optional<std::string> approvedAt{};
  std::optional<std::string> deniedAt{};
  std::optional<std::string> deviceId{};
  std::optional<std::string> deliveredAt{};

  friend bool operator==(const EnrollmentRequest&, const EnrollmentRequest&) = default;
};
BOOST_DESCRIBE_STRUCT(EnrollmentRequest, (),
                      (id, deviceName, hostname, platform, publicKey, capabilities, status,
                       expiresAt, createdAt, approvedAt, deniedAt, deviceId, deliveredAt))

struct AppInfo {
  std::optional<std::string> id{};
  std::string name{};
  std::optional<std::string> bundleIdentifier{};
  std::optional<std::int64_t> processIdentifier{};
  std::optional<bool> isActive{};
  std::optional<std::string> activationPolicy{};
  std::optional<std::string> category{};
  std::optional<bool> hasVisibleWindows{};

  friend bool operator==(const AppInfo&, const AppInfo&) = default;
};
BOOST_DESCRIBE_STRUCT(AppInfo, (),
                      (id, name, bundleIdentifier, processIdentifier, isActive, activationPolicy,
                       category, hasVisibleWindows))

struct WindowInfo {
  std::optional<std::string> id{};
  std::optional<std::string> title{};
  std::optional<std::string> appName{};
  std::optional<std::string> bundleIdentifier{};
  std::optional<bool> isFocused{};
  std::optional<std::string> kind{};
  std::optional<std::string> url{};
  std::optional<std::int64_t> browserWindowIndex{};
  std::optional<std::int64_t> browserTabIndex{};
  std::optional<std::string> category{};

  friend bool operator==(const WindowInfo&, const WindowInfo&) = default;
};
BOOST_DESCRIBE_STRUCT(WindowInfo, (),
                      (id, title, appName, bundleIdentifier, isFocused, kind, url,
                       browserWindowIndex, browserTabIndex, category))

struct DeviceSnapshot {
  std::string id{};
  std::string deviceId{};
  std::optional<AppInfo> focusedApp{};
  std::vector<AppInfo> runningApps{};
  std::vector<WindowInfo> windows{};
  std::string capturedAt{};

  friend bool operator==(const DeviceSnapshot&, const DeviceSnapshot&) = default;
};
BOOST_DESCRIBE_STRUCT(DeviceSnapshot, (),
                      (id, deviceId, focusedApp, runningApps, windows, capturedAt))

struct RemoteSession {
  std::string id{};
  std::string ownerId{};
  std::string controllerId{};
  std::string deviceId{};
  std::string status{};
  std::string transportMode{};
  JSONObject metadata{};
  std::string createdAt{};
  std::optional<std::string> acceptedAt{};
  std::optional<std::string> endedAt{};

  friend bool operator==(const RemoteSession&, const RemoteSession&) = default;
};
BOOST_DESCRIBE_STRUCT(RemoteSession, (),
                      (id, ownerId, controllerId, deviceId, status, transportMode, metadata,
                       createdAt, acceptedAt, endedAt))

struct RemoteCommand {
  std::string id{};
  std::string sessionId{};
  std::string controllerId{};
  std::string deviceId{};
  std::string type{};
  JSONObject payload{};
  std::string status{};
  std::optional<std::string> idempotencyKey{};
  std::optional<JSONObject> result{};
  std::string createdAt{};
  std::optional<std::string> claimedAt{};
  std::optional<std::string> completedAt{};

  friend bool operator==(const RemoteCommand&, const RemoteCommand&) = default;
};
BOOST_DESCRIBE_STRUCT(RemoteCommand, (),
                      (id, sessionId, controllerId, deviceId, type, payload, status, idempotencyKey,
                       result, createdAt, claimedAt, completedAt))

struct ScreenFrame {
  std::string id{};
  std::string sessionId{};
  std::string deviceId{};
  std::string format{};
  std::optional<std::string> contentFormat{};
  std::optional<std::string> encryption{};
  std::string imageBase64;
  std::int64_t width{};
  std::int64_t height{};
  std::int64_t displayWidth{};
  std::int64_t displayHeight{};
  std::int64_t byteLength{};
  std::string capturedAt{};
  std::string receivedAt{};

  friend bool operator==(const ScreenFrame&, const ScreenFrame&) = default;
};
BOOST_DESCRIBE_STRUCT(ScreenFrame, (),
                      (id, sessionId, deviceId, format, contentFormat, encryption, imageBase64,
                       width, height, displayWidth, displayHeight, byteLength, capturedAt,
                       receivedAt))

struct TavolinSignal {
  std::int64_t sequence{};
  std::string id{};
  std::string sessionId{};
  std::string ownerId{};
  std::string controllerId{};
  std::string deviceId{};
  std::string sender{};
  std::string type{};
  JSONObject payload{};
  std::string createdAt{};

  friend bool operator==(const TavolinSignal&, const TavolinSignal&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinSignal, (),
                      (sequence, id, sessionId, ownerId, controllerId, deviceId, sender, type,
                       payload, createdAt))

struct TavolinICEServer {
  std::vector<std::string> urls{};
  std::optional<std::string> username{};
  std::optional<std::string> credential{};

  friend bool operator==(const TavolinICEServer&, const TavolinICEServer&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinICEServer, (), (urls, username, credential))

struct TavolinRelay {
  std::string id{};
  std::string region{};
  std::optional<std::string> api{};
  std::optional<std::string> turn{};
  std::int64_t priority{};

  friend bool operator==(const TavolinRelay&, const TavolinRelay&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinRelay, (), (id, region, api, turn, priority))

// Request payloads: what the agent or a controller sends.

struct BootstrapOwnerPayload {
  std::string displayName{};
  std::optional<std::string> email{};
  std::string credentialLabel{};

  friend bool operator==(const BootstrapOwnerPayload&, const BootstrapOwnerPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(BootstrapOwnerPayload, (), (displayName, email, credentialLabel))

struct CreateControllerPayload {
  std::string name{};
  std::string platform{};
  std::optional<std::string> publicKey{};

  friend bool operator==(const CreateControllerPayload&, const CreateControllerPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(CreateControllerPayload, (), (name, platform, publicKey))

struct EmailPasswordAuthPayload {
  std::string email{};
  std::string password{};

  friend bool operator==(const EmailPasswordAuthPayload&,
                         const EmailPasswordAuthPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(EmailPasswordAuthPayload, (), (email, password))

struct EnrollmentRequestPayload {
  std::string deviceName{};
  std::optional<std::string> hostname{};
  std::string platform{};
  std::optional<std::string> publicKey{};
  JSONObject capabilities{};

  friend bool operator==(const EnrollmentRequestPayload&,
                         const EnrollmentRequestPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(EnrollmentRequestPayload, (),
                      (deviceName, hostname, platform, publicKey, capabilities))

struct ApproveEnrollmentPayload {
  std::string code{};
  std::optional<std::string> displayName{};

  friend bool operator==(const ApproveEnrollmentPayload&,
                         const ApproveEnrollmentPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(ApproveEnrollmentPayload, (), (code, displayName))

struct HeartbeatPayload {
  std::optional<std::string> hostname{};
  std::optional<std::string> osVersion{};
  std::optional<std::string> agentVersion{};
  std::optional<JSONObject> capabilities{};
  std::optional<AppInfo> focusedApp{};
  std::vector<AppInfo> runningApps{};
  std::vector<WindowInfo> windows{};

  friend bool operator==(const HeartbeatPayload&, const HeartbeatPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(HeartbeatPayload, (),
                      (hostname, osVersion, agentVersion, capabilities, focusedApp, runningApps,
                       windows))

struct CreateSessionPayload {
  std::string deviceId{};
  std::string transportMode{};
  JSONObject metadata{};

  friend bool operator==(const CreateSessionPayload&, const CreateSessionPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(CreateSessionPayload, (), (deviceId, transportMode, metadata))

struct SessionMetadataPayload {
  JSONObject metadata{};

  friend bool operator==(const SessionMetadataPayload&, const SessionMetadataPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SessionMetadataPayload, (), (metadata))

struct EndSessionPayload {
  std::optional<std::string> reason{};

  friend bool operator==(const EndSessionPayload&, const EndSessionPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(EndSessionPayload, (), (reason))

struct SignalPayload {
  std::string type{};
  JSONObject payload{};

  friend bool operator==(const SignalPayload&, const SignalPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(SignalPayload, (), (type, payload))

struct EnqueueCommandPayload {
  std::string type{};
  JSONObject payload{};
  std::optional<std::string> idempotencyKey{};

  friend bool operator==(const EnqueueCommandPayload&, const EnqueueCommandPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(EnqueueCommandPayload, (), (type, payload, idempotencyKey))

struct CompleteCommandPayload {
  std::string status{};
  JSONObject result{};

  friend bool operator==(const CompleteCommandPayload&, const CompleteCommandPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(CompleteCommandPayload, (), (status, result))

struct ScreenFramePayload {
  std::string format{};
  std::optional<std::string> contentFormat{};
  std::optional<std::string> encryption{};
  std::string imageBase64;
  std::int64_t width{};
  std::int64_t height{};
  std::int64_t displayWidth{};
  std::int64_t displayHeight{};
  std::int64_t byteLength{};
  std::string capturedAt{};

  friend bool operator==(const ScreenFramePayload&, const ScreenFramePayload&) = default;
};
BOOST_DESCRIBE_STRUCT(ScreenFramePayload, (),
                      (format, contentFormat, encryption, imageBase64, width, height, displayWidth,
                       displayHeight, byteLength, capturedAt))

// Response wrappers: what the control planes return.

struct BootstrapOwnerResponse {
  Owner owner{};
  std::string ownerToken{};

  friend bool operator==(const BootstrapOwnerResponse&, const BootstrapOwnerResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(BootstrapOwnerResponse, (), (owner, ownerToken))

struct CreateControllerResponse {
  Controller controller{};
  std::string controllerToken{};

  friend bool operator==(const CreateControllerResponse&,
                         const CreateControllerResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(CreateControllerResponse, (), (controller, controllerToken))

struct AuthSignInResponse {
  std::optional<std::string> token{};
  AuthUser user{};

  friend bool operator==(const AuthSignInResponse&, const AuthSignInResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(AuthSignInResponse, (), (token, user))

struct EnrollmentRequestResponse {
  EnrollmentRequest request{};
  std::string code{};

  friend bool operator==(const EnrollmentRequestResponse&,
                         const EnrollmentRequestResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(EnrollmentRequestResponse, (), (request, code))

struct EnrollmentClaimResponse {
  EnrollmentRequest request{};
  std::optional<Device> device{};
  std::optional<std::string> agentToken{};

  friend bool operator==(const EnrollmentClaimResponse&, const EnrollmentClaimResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(EnrollmentClaimResponse, (), (request, device, agentToken))

struct DevicesResponse {
  std::vector<Device> devices{};

  friend bool operator==(const DevicesResponse&, const DevicesResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DevicesResponse, (), (devices))

struct DeviceDetailResponse {
  Device device{};
  std::optional<DeviceSnapshot> snapshot{};

  friend bool operator==(const DeviceDetailResponse&, const DeviceDetailResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DeviceDetailResponse, (), (device, snapshot))

struct DeviceResponse {
  Device device{};

  friend bool operator==(const DeviceResponse&, const DeviceResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DeviceResponse, (), (device))

struct SessionsResponse {
  std::vector<RemoteSession> sessions{};

  friend bool operator==(const SessionsResponse&, const SessionsResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SessionsResponse, (), (sessions))

struct SessionResponse {
  RemoteSession session{};

  friend bool operator==(const SessionResponse&, const SessionResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SessionResponse, (), (session))

struct CommandsResponse {
  std::vector<RemoteCommand> commands{};

  friend bool operator==(const CommandsResponse&, const CommandsResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(CommandsResponse, (), (commands))

struct CommandResponse {
  RemoteCommand command{};

  friend bool operator==(const CommandResponse&, const CommandResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(CommandResponse, (), (command))

struct ScreenFrameResponse {
  ScreenFrame frame{};

  friend bool operator==(const ScreenFrameResponse&, const ScreenFrameResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(ScreenFrameResponse, (), (frame))

struct SignalResponse {
  TavolinSignal signal{};

  friend bool operator==(const SignalResponse&, const SignalResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SignalResponse, (), (signal))

struct SignalsResponse {
  std::vector<TavolinSignal> signals{};

  friend bool operator==(const SignalsResponse&, const SignalsResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(SignalsResponse, (), (signals))

struct TransportConfigResponse {
  std::string mode{};
  std::string fallbackMode{};
  std::vector<TavolinICEServer> iceServers{};
  std::vector<TavolinRelay> relays{};

  friend bool operator==(const TransportConfigResponse&, const TransportConfigResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(TransportConfigResponse, (), (mode, fallbackMode, iceServers, relays))

}  // namespace tavolin
