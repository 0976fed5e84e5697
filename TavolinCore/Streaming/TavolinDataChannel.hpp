#pragma once

// The data channels a controller and this agent share once a peer connection is up, and the
// JSON text messages that travel on them. Both sides create the channels in-band with exactly
// these settings. Records code through JSONCodec.hpp; absent optionals are omitted. Pure values,
// callable from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/describe/class.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"

namespace tavolin {

namespace TavolinDataChannelLabel {
inline constexpr std::string_view nativeVideo = "tavolin.native-video";
inline constexpr std::string_view telemetry = "tavolin.telemetry";
inline constexpr std::string_view input = "tavolin.input";
inline constexpr std::string_view commands = "tavolin.commands";
inline constexpr std::string_view clipboard = "tavolin.clipboard";
}  // namespace TavolinDataChannelLabel

// How a channel delivers: unordered with no retransmits is lossy (a lost message is never sent
// again); no retransmit limit means reliable.
struct TavolinDataChannelSettings {
  std::string_view label;
  bool ordered = true;
  std::optional<int> maxRetransmits;
  std::string_view protocol;
};

namespace TavolinDataChannels {
inline constexpr TavolinDataChannelSettings nativeVideo{TavolinDataChannelLabel::nativeVideo, false,
                                                        0, "tavolin-native-videotoolbox-v2"};
inline constexpr TavolinDataChannelSettings telemetry{TavolinDataChannelLabel::telemetry, false, 0,
                                                      "tavolin-telemetry-v1"};
inline constexpr TavolinDataChannelSettings input{TavolinDataChannelLabel::input, false, 0,
                                                  "tavolin-input-v1"};
inline constexpr TavolinDataChannelSettings commands{TavolinDataChannelLabel::commands, true,
                                                     std::nullopt, "tavolin-command-v1"};
inline constexpr TavolinDataChannelSettings clipboard{TavolinDataChannelLabel::clipboard, true,
                                                      std::nullopt, ""};
// What the WebRTC publisher creates: every channel but native video.
inline constexpr std::array<TavolinDataChannelSettings, 4> webRTC{telemetry, input, commands,
                                                                  clipboard};
}  // namespace TavolinDataChannels

// Text-message kinds routed by the envelope's `type`.
namespace TavolinDataChannelMessageType {
inline constexpr std::string_view ping = "ping";
inline constexpr std::string_view pong = "pong";
inline constexpr std::string_view command = "command";
inline constexpr std::string_view commandResult = "command_result";
inline constexpr std::string_view frameTelemetry = "frame_telemetry";
inline constexpr std::string_view clipboardUpdate = "clipboard_update";
inline constexpr std::string_view nativeKeyframeRequest = "native_keyframe_request";
}  // namespace TavolinDataChannelMessageType

// Just enough of an incoming message to route it before decoding it fully.
struct TavolinDataChannelEnvelope {
  std::string type{};
  std::optional<std::string> sessionId{};
};
BOOST_DESCRIBE_STRUCT(TavolinDataChannelEnvelope, (), (type, sessionId))

// The message records fix `type`; build them with designated initializers for the rest.
struct TavolinDirectPingMessage {
  std::string type{TavolinDataChannelMessageType::ping};
  std::string pingId{};
  std::string sessionId{};
  std::string sentAt{};
  friend bool operator==(const TavolinDirectPingMessage&,
                         const TavolinDirectPingMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinDirectPingMessage, (), (type, pingId, sessionId, sentAt))

struct TavolinDirectPongMessage {
  std::string type{TavolinDataChannelMessageType::pong};
  std::string pingId{};
  std::string sessionId{};
  std::string receivedAt{};
  std::string sentAt{};
  friend bool operator==(const TavolinDirectPongMessage&,
                         const TavolinDirectPongMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinDirectPongMessage, (), (type, pingId, sessionId, receivedAt, sentAt))

struct TavolinDirectCommandMessage {
  std::string type{TavolinDataChannelMessageType::command};
  std::string commandId{};
  std::string sessionId{};
  std::string commandType{};
  JSONObject payload{};
  std::string idempotencyKey{};
  bool expectsResult{};
  std::string sentAt{};
  friend bool operator==(const TavolinDirectCommandMessage&,
                         const TavolinDirectCommandMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinDirectCommandMessage, (),
                      (type, commandId, sessionId, commandType, payload, idempotencyKey,
                       expectsResult, sentAt))

struct TavolinDirectCommandResultMessage {
  std::string type{TavolinDataChannelMessageType::commandResult};
  std::string commandId{};
  std::string sessionId{};
  std::string status{};
  JSONObject result{};
  std::string receivedAt{};
  std::string completedAt{};
  friend bool operator==(const TavolinDirectCommandResultMessage&,
                         const TavolinDirectCommandResultMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinDirectCommandResultMessage, (),
                      (type, commandId, sessionId, status, result, receivedAt, completedAt))

// One per captured frame; the WebRTC publisher fills the required fields only.
struct TavolinFrameTelemetryMessage {
  std::string type{TavolinDataChannelMessageType::frameTelemetry};
  std::string sessionId{};
  std::int64_t frameId{};
  std::int64_t frameTimestampNs{};
  std::uint64_t captureUptimeNs{};
  std::int64_t width{};
  std::int64_t height{};
  std::string quality{};
  std::string capturedAt{};
  std::string sentAt{};
  std::optional<std::string> codec{};
  std::optional<std::int64_t> payloadBytes{};
  std::optional<std::int64_t> fragmentCount{};
  std::optional<std::int64_t> encodeDurationMilliseconds{};
  std::optional<std::int64_t> sendQueueMilliseconds{};
  std::optional<std::int64_t> nativeFramesSent{};
  std::optional<std::int64_t> nativeFramesDropped{};
  std::optional<std::int64_t> nativeBackpressureDrops{};
  std::optional<std::uint64_t> nativeBufferedAmountBytes{};
  friend bool operator==(const TavolinFrameTelemetryMessage&,
                         const TavolinFrameTelemetryMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(TavolinFrameTelemetryMessage, (),
                      (type, sessionId, frameId, frameTimestampNs, captureUptimeNs, width, height,
                       quality, capturedAt, sentAt, codec, payloadBytes, fragmentCount,
                       encodeDurationMilliseconds, sendQueueMilliseconds, nativeFramesSent,
                       nativeFramesDropped, nativeBackpressureDrops, nativeBufferedAmountBytes))

// Plain-text clipboard contents with the pasteboard's change counter when read.
struct ClipboardDataChannelMessage {
  std::string type{TavolinDataChannelMessageType::clipboardUpdate};
  std::string text{};
  std::int64_t changeCount{};
  std::string sentAt{};
  friend bool operator==(const ClipboardDataChannelMessage&,
                         const ClipboardDataChannelMessage&) = default;
};
BOOST_DESCRIBE_STRUCT(ClipboardDataChannelMessage, (), (type, text, changeCount, sentAt))

}  // namespace tavolin
