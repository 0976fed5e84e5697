#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include <turbojpeg.h>

namespace tavolin::testing {

// A JPEG decoded by TurboJPEG into BGRX rows, to check what an encoder produced.
struct DecodedJPEG {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgrx;

  static std::optional<DecodedJPEG> fromBytes(std::span<const std::uint8_t> bytes) {
    tjhandle decompressor = tjInitDecompress();
    DecodedJPEG image;
    int subsampling = 0;
    int colourspace = 0;
    bool ok = tjDecompressHeader3(decompressor, bytes.data(), bytes.size(), &image.width,
                                  &image.height, &subsampling, &colourspace) == 0;
    if (ok) {
      image.bgrx.resize(static_cast<std::size_t>(image.width) * image.height * 4);
      ok = tjDecompress2(decompressor, bytes.data(), bytes.size(), image.bgrx.data(), image.width,
                         0, image.height, TJPF_BGRX, 0) == 0;
    }
    tjDestroy(decompressor);
    if (!ok)
      return std::nullopt;
    return image;
  }

  // Whether the pixel at (x, y) is within `tolerance` of the colour on every channel.
  bool near(int x, int y, std::uint8_t blue, std::uint8_t green, std::uint8_t red,
            int tolerance = 12) const {
    const std::uint8_t* pixel = bgrx.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    return std::abs(pixel[0] - blue) <= tolerance && std::abs(pixel[1] - green) <= tolerance &&
           std::abs(pixel[2] - red) <= tolerance;
  }
};

}  // namespace tavolin::testing
