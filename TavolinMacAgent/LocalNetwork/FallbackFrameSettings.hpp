#pragma once

#include "TavolinCore/JSON/JSONValue.hpp"

namespace tavolin {

// How the still-frame route renders for one session: the longest edge of the JPEG and its
// compression quality. A controller changes them with a "quality" signal.
struct FallbackFrameSettings {
  int maxDimension = 1920;
  double jpegQuality = 0.72;

  // From a "quality" signal's payload: a quality name ("720p", "max", ...) and/or a
  // `maxHeight`; unknown names fall back to 1920 / 0.72, and the result is always within
  // 480...6016 and 0.36...0.92.
  static FallbackFrameSettings fromPayload(const JSONObject& payload);

  bool operator==(const FallbackFrameSettings&) const = default;
};

}  // namespace tavolin
