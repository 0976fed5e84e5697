#include "TavolinCore/Records/ScreenFrameRecord.hpp"

#include <utility>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"

namespace tavolin {

ScreenFrame screenFrameRecord(std::string_view idPrefix, std::span<const std::uint8_t> image,
                              FrameSizes sizes, std::string capturedAt, std::string receivedAt) {
  ScreenFrame frame;
  frame.id = makeIdentifier(idPrefix);
  frame.imageBase64 = base64Encode(image);
  frame.byteLength = static_cast<std::int64_t>(image.size());
  frame.width = sizes.width;
  frame.height = sizes.height;
  frame.displayWidth = sizes.displayWidth;
  frame.displayHeight = sizes.displayHeight;
  frame.capturedAt = std::move(capturedAt);
  frame.receivedAt = std::move(receivedAt);
  return frame;
}

}  // namespace tavolin
