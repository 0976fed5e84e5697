#include "ControlPlaneServer/ControlPlaneFieldLimits.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "ControlPlaneServer/ControlPlaneError.hpp"

namespace tavolin {
namespace {

using Limits = ControlPlaneFieldLimits;

[[noreturn]] void tooLong(std::string_view field, std::size_t limit, std::string_view unit) {
  throw ControlPlaneError::badRequest(
      "field_too_long",
      std::string(field) + " exceeds " + std::to_string(limit) + " " + std::string(unit));
}

void checkText(std::string_view field, const std::string& value, std::size_t limit) {
  if (value.size() > limit)
    tooLong(field, limit, "bytes");
}

void checkText(std::string_view field, const std::optional<std::string>& value, std::size_t limit) {
  if (value)
    checkText(field, *value, limit);
}

void checkObject(std::string_view field, const JSONObject& value, std::size_t limit) {
  if (encodeJSON(value).size() > limit)
    tooLong(field, limit, "bytes");
}

template <class T>
void checkCount(std::string_view field, const std::vector<T>& values) {
  if (values.size() > Limits::snapshotEntries)
    tooLong(field, Limits::snapshotEntries, "entries");
}

void checkApp(const std::string& field, const AppInfo& app) {
  checkText(field + ".id", app.id, Limits::name);
  checkText(field + ".name", app.name, Limits::name);
  checkText(field + ".bundleIdentifier", app.bundleIdentifier, Limits::name);
  checkText(field + ".activationPolicy", app.activationPolicy, Limits::platform);
  checkText(field + ".category", app.category, Limits::name);
}

void checkWindow(const std::string& field, const WindowInfo& window) {
  checkText(field + ".id", window.id, Limits::name);
  checkText(field + ".title", window.title, Limits::windowTitle);
  checkText(field + ".appName", window.appName, Limits::name);
  checkText(field + ".bundleIdentifier", window.bundleIdentifier, Limits::name);
  checkText(field + ".kind", window.kind, Limits::platform);
  checkText(field + ".url", window.url, Limits::url);
  checkText(field + ".category", window.category, Limits::name);
}

std::string indexed(std::string_view field, std::size_t index) {
  return std::string(field) + "[" + std::to_string(index) + "]";
}

}  // namespace

void checkFieldLimits(const BootstrapOwnerPayload& payload) {
  checkText("displayName", payload.displayName, Limits::name);
  checkText("email", payload.email, Limits::name);
  checkText("credentialLabel", payload.credentialLabel, Limits::name);
}

void checkFieldLimits(const CreateControllerPayload& payload) {
  checkText("name", payload.name, Limits::name);
  checkText("platform", payload.platform, Limits::platform);
  checkText("publicKey", payload.publicKey, Limits::publicKey);
}

void checkFieldLimits(const EnrollmentRequestPayload& payload) {
  checkText("deviceName", payload.deviceName, Limits::name);
  checkText("hostname", payload.hostname, Limits::name);
  checkText("platform", payload.platform, Limits::platform);
  checkText("publicKey", payload.publicKey, Limits::publicKey);
  checkObject("capabilities", payload.capabilities, Limits::capabilities);
}

void checkFieldLimits(const ApproveEnrollmentPayload& payload) {
  checkText("code", payload.code, Limits::name);
  checkText("displayName", payload.displayName, Limits::name);
}

void checkFieldLimits(const HeartbeatPayload& payload) {
  checkText("hostname", payload.hostname, Limits::name);
  checkText("osVersion", payload.osVersion, Limits::platform);
  checkText("agentVersion", payload.agentVersion, Limits::platform);
  if (payload.capabilities)
    checkObject("capabilities", *payload.capabilities, Limits::capabilities);
  if (payload.focusedApp)
    checkApp("focusedApp", *payload.focusedApp);
  checkCount("runningApps", payload.runningApps);
  for (std::size_t i = 0; i < payload.runningApps.size(); ++i)
    checkApp(indexed("runningApps", i), payload.runningApps[i]);
  checkCount("windows", payload.windows);
  for (std::size_t i = 0; i < payload.windows.size(); ++i)
    checkWindow(indexed("windows", i), payload.windows[i]);
}

void checkFieldLimits(const CreateSessionPayload& payload) {
  checkText("deviceId", payload.deviceId, Limits::name);
  checkText("transportMode", payload.transportMode, Limits::platform);
  checkSessionMetadata(payload.metadata);
}

void checkFieldLimits(const SessionMetadataPayload& payload) {
  checkSessionMetadata(payload.metadata);
}

void checkFieldLimits(const EndSessionPayload& payload) {
  checkText("reason", payload.reason, Limits::name);
}

void checkFieldLimits(const SignalPayload& payload) {
  checkText("type", payload.type, Limits::platform);
  checkObject("payload", payload.payload, Limits::signalPayload);
}

void checkFieldLimits(const EnqueueCommandPayload& payload) {
  checkText("type", payload.type, Limits::platform);
  checkObject("payload", payload.payload, Limits::commandPayload);
  checkText("idempotencyKey", payload.idempotencyKey, Limits::name);
}

void checkFieldLimits(const CompleteCommandPayload& payload) {
  checkText("status", payload.status, Limits::platform);
  checkObject("result", payload.result, Limits::commandPayload);
}

void checkFieldLimits(const ScreenFramePayload& payload) {
  checkText("format", payload.format, Limits::platform);
  checkText("contentFormat", payload.contentFormat, Limits::platform);
  checkText("encryption", payload.encryption, Limits::platform);
  checkText("capturedAt", payload.capturedAt, Limits::platform);
}

void checkSessionMetadata(const JSONObject& metadata) {
  for (const auto& [key, value] : metadata) {
    checkText("metadata key", key, Limits::name);
    if (value.serialize().size() > Limits::metadataValue)
      tooLong("metadata." + key, Limits::metadataValue, "bytes");
  }
  checkObject("metadata", metadata, Limits::metadata);
}

}  // namespace tavolin
