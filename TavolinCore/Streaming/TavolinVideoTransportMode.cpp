#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"

#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {

namespace TavolinVideoTransportModes {

std::string_view rawValue(TavolinVideoTransportMode mode) {
  switch (mode) {
    case TavolinVideoTransportMode::webRTC:
      return "webrtc";
    case TavolinVideoTransportMode::nativeVideoToolbox:
      return "native_videotoolbox";
    case TavolinVideoTransportMode::automatic:
      return "auto";
  }
  return {};
}

std::optional<TavolinVideoTransportMode> fromRawValue(std::string_view raw) {
  for (const auto mode : allCases) {
    if (rawValue(mode) == raw)
      return mode;
  }
  return std::nullopt;
}

TavolinVideoTransportMode fromMetadataValue(std::optional<std::string_view> value) {
  if (!value)
    return TavolinVideoTransportMode::webRTC;
  return fromRawValue(asciiLowercased(trimmedWhitespaceAndNewlines(*value)))
      .value_or(TavolinVideoTransportMode::webRTC);
}

}  // namespace TavolinVideoTransportModes

boost::json::value JSONCoding<TavolinVideoTransportMode>::encode(TavolinVideoTransportMode mode) {
  return boost::json::string(TavolinVideoTransportModes::rawValue(mode));
}

TavolinVideoTransportMode JSONCoding<TavolinVideoTransportMode>::decode(
    const boost::json::value& json, std::string_view path) {
  if (const auto* text = json.if_string()) {
    if (const auto mode = TavolinVideoTransportModes::fromRawValue(*text))
      return *mode;
  }
  json_detail::throwTypeMismatch("a video transport mode", path);
}

}  // namespace tavolin
