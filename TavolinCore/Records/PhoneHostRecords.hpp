#pragma once

// Records of phone host mode: the phone uploads sealed frames, the desktop keeps a snapshot of
// the broadcast and serves the newest frame. Keys equal the field names; coding is the generic
// one of JSONCodec.hpp, and the enumerations travel as their case names.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/describe/class.hpp>
#include <boost/describe/enum.hpp>
#include <boost/describe/enum_from_string.hpp>
#include <boost/describe/enum_to_string.hpp>
#include <boost/uuid/uuid.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

enum class PhoneBroadcastState {
  unavailable,
  ready,
  waitingForReplayKitConsent,
  broadcasting,
  paused,
  stopped,
  failed
};
BOOST_DESCRIBE_ENUM(PhoneBroadcastState, unavailable, ready, waitingForReplayKitConsent,
                    broadcasting, paused, stopped, failed)

enum class PhoneHostStreamHealth { waiting, live, slow, stale, stopped, failed };
BOOST_DESCRIBE_ENUM(PhoneHostStreamHealth, waiting, live, slow, stale, stopped, failed)

enum class PhoneViewerCapability {
  screenView,
  systemAudio,
  microphoneAudio,
  localClipboard,
  mediaTransfer,
  appleIPhoneMirroring,
  externalKeyboardPointerBridge,
  inAppControls
};
BOOST_DESCRIBE_ENUM(PhoneViewerCapability, screenView, systemAudio, microphoneAudio, localClipboard,
                    mediaTransfer, appleIPhoneMirroring, externalKeyboardPointerBridge,
                    inAppControls)

namespace json_detail {

// An enumeration whose JSON is the text of its case name; unknown names fail the decode.
template <class Enum>
struct CaseNameCoding {
  static boost::json::value encode(Enum value) {
    return boost::json::string(boost::describe::enum_to_string(value, ""));
  }
  static Enum decode(const boost::json::value& json, std::string_view path) {
    const auto* text = json.if_string();
    Enum value{};
    if (text == nullptr || !boost::describe::enum_from_string(text->c_str(), value))
      throwTypeMismatch("a known case name", path);
    return value;
  }
};

}  // namespace json_detail

template <>
struct JSONCoding<PhoneBroadcastState> : json_detail::CaseNameCoding<PhoneBroadcastState> {};
template <>
struct JSONCoding<PhoneHostStreamHealth> : json_detail::CaseNameCoding<PhoneHostStreamHealth> {};
template <>
struct JSONCoding<PhoneViewerCapability> : json_detail::CaseNameCoding<PhoneViewerCapability> {};

struct TrustedDesktopDevice {
  std::string id{};
  std::string name{};
  std::string platform{};
  std::optional<std::string> publicKey{};
  std::string routeName{};
  std::string pairedAt{};
  std::optional<std::string> lastSeenAt{};
  std::optional<std::string> revokedAt{};

  friend bool operator==(const TrustedDesktopDevice&, const TrustedDesktopDevice&) = default;
};
BOOST_DESCRIBE_STRUCT(TrustedDesktopDevice, (),
                      (id, name, platform, publicKey, routeName, pairedAt, lastSeenAt, revokedAt))

struct PhoneHostFrameInfo {
  boost::uuids::uuid frameId{};
  std::int64_t width{};
  std::int64_t height{};
  std::int64_t byteLength{};
  std::string capturedAt{};
  std::optional<std::string> receivedAt{};
  std::optional<double> framesPerSecond{};
  std::optional<double> bitrateKbps{};
  std::optional<std::int64_t> latencyMilliseconds{};
  std::optional<std::string> qualityPreset{};

  friend bool operator==(const PhoneHostFrameInfo&, const PhoneHostFrameInfo&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostFrameInfo, (),
                      (frameId, width, height, byteLength, capturedAt, receivedAt, framesPerSecond,
                       bitrateKbps, latencyMilliseconds, qualityPreset))

struct PhoneHostSnapshot {
  PhoneBroadcastState state{};
  std::optional<std::string> streamId{};
  std::optional<std::string> deviceName{};
  std::optional<std::string> routeName{};
  std::string encryption{};
  std::int64_t activeViewerCount{};
  std::vector<TrustedDesktopDevice> trustedViewers{};
  std::vector<PhoneViewerCapability> capabilities{};
  std::optional<PhoneHostFrameInfo> latestFrame{};
  std::optional<std::string> lastError{};
  std::optional<PhoneHostStreamHealth> streamHealth{};
  std::optional<std::string> statusMessage{};
  std::optional<double> secondsSinceLastFrame{};
  std::optional<std::string> qualityPreset{};
  std::string updatedAt{};

  friend bool operator==(const PhoneHostSnapshot&, const PhoneHostSnapshot&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostSnapshot, (),
                      (state, streamId, deviceName, routeName, encryption, activeViewerCount,
                       trustedViewers, capabilities, latestFrame, lastError, streamHealth,
                       statusMessage, secondsSinceLastFrame, qualityPreset, updatedAt))

// What the phone posts: `senderPublicKey` is base64url, `imageBase64` the sealed frame in
// standard base64.
struct PhoneHostFrameUploadPayload {
  std::string streamId{};
  std::string deviceName{};
  std::string routeName{};
  boost::uuids::uuid frameId{};
  std::string format{};
  std::string contentFormat{};
  std::string encryption{};
  std::string senderPublicKey{};
  std::string imageBase64{};
  std::int64_t width{};
  std::int64_t height{};
  std::int64_t displayWidth{};
  std::int64_t displayHeight{};
  std::int64_t byteLength{};
  std::string capturedAt{};
  PhoneBroadcastState broadcastState{};
  std::optional<std::string> qualityPreset{};

  friend bool operator==(const PhoneHostFrameUploadPayload&,
                         const PhoneHostFrameUploadPayload&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostFrameUploadPayload, (),
                      (streamId, deviceName, routeName, frameId, format, contentFormat, encryption,
                       senderPublicKey, imageBase64, width, height, displayWidth, displayHeight,
                       byteLength, capturedAt, broadcastState, qualityPreset))

struct PhoneHostFrameResponse {
  bool accepted{};
  PhoneHostSnapshot snapshot{};

  friend bool operator==(const PhoneHostFrameResponse&, const PhoneHostFrameResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostFrameResponse, (), (accepted, snapshot))

struct PhoneHostSnapshotResponse {
  PhoneHostSnapshot snapshot{};

  friend bool operator==(const PhoneHostSnapshotResponse&,
                         const PhoneHostSnapshotResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostSnapshotResponse, (), (snapshot))

struct PhoneHostLatestFrameResponse {
  std::optional<ScreenFrame> frame{};
  PhoneHostSnapshot snapshot{};

  friend bool operator==(const PhoneHostLatestFrameResponse&,
                         const PhoneHostLatestFrameResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneHostLatestFrameResponse, (), (frame, snapshot))

// The answer to a request to open the platform's phone mirroring application.
struct PhoneMirroringResponse {
  bool opened{};
  PhoneViewerCapability capability = PhoneViewerCapability::appleIPhoneMirroring;

  friend bool operator==(const PhoneMirroringResponse&, const PhoneMirroringResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(PhoneMirroringResponse, (), (opened, capability))

}  // namespace tavolin
