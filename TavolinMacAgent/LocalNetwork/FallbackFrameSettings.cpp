#include "TavolinMacAgent/LocalNetwork/FallbackFrameSettings.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"

namespace tavolin {
namespace {

struct QualityPreset {
  std::string_view name;
  int height;
  double jpegQuality;
};

constexpr QualityPreset kPresets[] = {
    {"2160p", 2160, 0.82}, {"1440p", 1440, 0.82}, {"1080p", 1080, 0.78}, {"720p", 720, 0.7},
    {"480p", 480, 0.6},    {"360p", 360, 0.52},   {"240p", 240, 0.44},
};

const QualityPreset* presetNamed(std::string_view name) {
  for (const auto& preset : kPresets) {
    if (preset.name == name)
      return &preset;
  }
  return nullptr;
}

}  // namespace

FallbackFrameSettings FallbackFrameSettings::fromPayload(const JSONObject& payload) {
  std::string quality = "auto";
  if (const JSONValue* value = payload.find("quality");
      value && value->string() && !value->string()->empty()) {
    quality = asciiLowercased(*value->string());
  }
  const QualityPreset* preset = presetNamed(quality);

  if (quality == "native" || quality == "max")
    return {6016, 0.84};

  std::optional<double> height;
  if (const JSONValue* value = payload.find("maxHeight"); value && value->number()) {
    height = std::round(*value->number());
  } else if (preset != nullptr) {
    height = preset->height;
  }

  FallbackFrameSettings settings;
  double dimension = 1920;
  if (height && std::isfinite(*height)) {
    dimension = std::max(std::round(*height * 16 / 9), *height);
  }
  settings.maxDimension = static_cast<int>(std::clamp(dimension, 480.0, 6016.0));
  settings.jpegQuality = std::clamp(preset ? preset->jpegQuality : 0.72, 0.36, 0.92);
  return settings;
}

}  // namespace tavolin
