#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

// The sizes a frame record reports: the picture's, and the display's it was taken from.
struct FrameSizes {
  std::int64_t width{};
  std::int64_t height{};
  std::int64_t displayWidth{};
  std::int64_t displayHeight{};
};

// A frame record around `image`, the bytes as they travel (a JPEG, or a JPEG sealed for its
// controller): a new "<idPrefix>" identifier, the bytes in Base64 with their count, the sizes
// and times. The caller names the session, device, format and encryption.
ScreenFrame screenFrameRecord(std::string_view idPrefix, std::span<const std::uint8_t> image,
                              FrameSizes sizes, std::string capturedAt, std::string receivedAt);

}  // namespace tavolin
