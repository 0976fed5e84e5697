#pragma once

// Which video path a controller asks for in the session metadata. Which path a session finally
// gets is the coordinator's decision. Pure values and functions, callable from any thread.

#include <array>
#include <optional>
#include <string_view>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

// Raw values "webrtc", "native_videotoolbox" and "auto" (`automatic`, as `auto` is a keyword).
enum class TavolinVideoTransportMode { webRTC, nativeVideoToolbox, automatic };

namespace TavolinVideoTransportModes {

inline constexpr std::array<TavolinVideoTransportMode, 3> allCases{
    TavolinVideoTransportMode::webRTC, TavolinVideoTransportMode::nativeVideoToolbox,
    TavolinVideoTransportMode::automatic};

// Also the mode's id and its JSON.
std::string_view rawValue(TavolinVideoTransportMode mode);
// Exact match of the raw value.
std::optional<TavolinVideoTransportMode> fromRawValue(std::string_view raw);
// Lenient: trimmed and lower-cased, with no "-" folding. Missing or unknown gives `webRTC`.
TavolinVideoTransportMode fromMetadataValue(std::optional<std::string_view> value);

// What a session's metadata asks for: its "requestedVideoTransport" string read leniently; a
// missing, empty or non-string value asks for `webRTC`.
TavolinVideoTransportMode requested(const JSONObject& metadata);
// The path a session gets: the native one for "native_videotoolbox" and "auto" when this agent
// can serve it, WebRTC otherwise. Never `automatic`.
TavolinVideoTransportMode effective(TavolinVideoTransportMode requested, bool nativeVideoAvailable);

}  // namespace TavolinVideoTransportModes

// JSON is the raw value; any other value fails the decode.
template <>
struct JSONCoding<TavolinVideoTransportMode> {
  static boost::json::value encode(TavolinVideoTransportMode mode);
  static TavolinVideoTransportMode decode(const boost::json::value& json, std::string_view path);
};

}  // namespace tavolin
