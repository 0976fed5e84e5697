#pragma once

#include <cstddef>

#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// The longest value, in bytes, the control plane stores for each kind of field; JSON objects
// count as their serialised text. Every limit sits well above what real agents and controllers
// send, and exists so that one client cannot make a record that every later read has to carry.
// The screen-frame image has no limit of its own: the request bound covers it.
struct ControlPlaneFieldLimits {
  // Device, controller and owner names, host names, labels, e-mail addresses, ids, reasons.
  static constexpr std::size_t name = 255;
  // Platform and OS strings, agent versions, signal and command types, statuses and formats.
  static constexpr std::size_t platform = 128;
  // A P-256 public key is under 100 characters in any of its text forms.
  static constexpr std::size_t publicKey = 1024;
  static constexpr std::size_t capabilities = 16 * 1024;
  static constexpr std::size_t metadataValue = 4 * 1024;
  static constexpr std::size_t metadata = 64 * 1024;
  // SDP offers are about 10 KiB.
  static constexpr std::size_t signalPayload = 64 * 1024;
  // The largest phone-media chunk (768 KiB, so 1 MiB of base64) sealed in an encrypted envelope
  // is about 1.4 MB of payload text.
  static constexpr std::size_t commandPayload = 2 * 1024 * 1024;
  static constexpr std::size_t windowTitle = 8 * 1024;
  static constexpr std::size_t url = 64 * 1024;
  // Running applications, and windows with browser tabs, in one heartbeat.
  static constexpr std::size_t snapshotEntries = 4096;
};

// Each throws ControlPlaneError 400 "field_too_long", naming the field and its limit in the
// detail ("hostname exceeds 255 bytes"), for the first field over its limit.
void checkFieldLimits(const BootstrapOwnerPayload& payload);
void checkFieldLimits(const CreateControllerPayload& payload);
void checkFieldLimits(const EnrollmentRequestPayload& payload);
void checkFieldLimits(const ApproveEnrollmentPayload& payload);
void checkFieldLimits(const HeartbeatPayload& payload);
void checkFieldLimits(const CreateSessionPayload& payload);
void checkFieldLimits(const SessionMetadataPayload& payload);
void checkFieldLimits(const EndSessionPayload& payload);
void checkFieldLimits(const SignalPayload& payload);
void checkFieldLimits(const EnqueueCommandPayload& payload);
void checkFieldLimits(const CompleteCommandPayload& payload);
void checkFieldLimits(const ScreenFramePayload& payload);
// A session's metadata: each key, each value and the whole. Also for the merge at acceptance,
// where the agent's keys join the controller's.
void checkSessionMetadata(const JSONObject& metadata);

}  // namespace tavolin
