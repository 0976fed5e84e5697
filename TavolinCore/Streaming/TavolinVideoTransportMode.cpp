#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/RawValues.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"

namespace tavolin {

namespace TavolinVideoTransportModes {

constexpr RawValueTable<TavolinVideoTransportMode, 3> rawValues{{
    {TavolinVideoTransportMode::webRTC, "webrtc"},
    {TavolinVideoTransportMode::nativeVideoToolbox, "native_videotoolbox"},
    {TavolinVideoTransportMode::automatic, "auto"},
}};
static_assert(listsCases(rawValues, allCases));

std::string_view rawValue(TavolinVideoTransportMode mode) {
  return rawValueIn(rawValues, mode);
}

std::optional<TavolinVideoTransportMode> fromRawValue(std::string_view raw) {
  return caseForRawValue(rawValues, raw);
}

TavolinVideoTransportMode fromMetadataValue(std::optional<std::string_view> value) {
  if (!value)
    return TavolinVideoTransportMode::webRTC;
  return fromRawValue(asciiLowercased(trimmedWhitespaceAndNewlines(*value)))
      .value_or(TavolinVideoTransportMode::webRTC);
}

TavolinVideoTransportMode requested(const JSONObject& metadata) {
  const JSONValue* value = metadata.find("requestedVideoTransport");
  const std::string* text = value ? value->string() : nullptr;
  if (!text || text->empty())
    return TavolinVideoTransportMode::webRTC;
  return fromMetadataValue(*text);
}

TavolinVideoTransportMode effective(TavolinVideoTransportMode requested,
                                    bool nativeVideoAvailable) {
  if (requested == TavolinVideoTransportMode::webRTC || !nativeVideoAvailable)
    return TavolinVideoTransportMode::webRTC;
  return TavolinVideoTransportMode::nativeVideoToolbox;
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
