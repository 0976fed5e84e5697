#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "TavolinMacAgent/Platform/Geometry.hpp"

namespace tavolin {

// One captured image of the main display: 32-bit BGRA rows (alpha unspecified), top row
// first. The pixels belong to the source and stay valid until its next grab.
struct CapturedImage {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;  // bytes per row
  // When the pixels were read, in host clock ticks (ScreenCaptureTiming); on Linux that is
  // CLOCK_MONOTONIC nanoseconds.
  std::uint64_t uptimeNs = 0;
};

// Reads the main display's pixels. Not thread-safe: one source per capturing thread; it keeps
// its buffers (a shared-memory segment on X11) between grabs so that a live capture does not
// allocate per frame.
class ScreenCaptureSource {
 public:
  virtual ~ScreenCaptureSource() = default;

  // The main display as it is now, or nothing when capture is not possible (display gone,
  // permission missing). A failed grab may succeed later.
  virtual std::optional<CapturedImage> grab() = 0;
};

// Makes capture sources; thread-safe. `canCapture` is the screen-capture permission: true when
// a grab works right now.
class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  virtual std::unique_ptr<ScreenCaptureSource> makeSource() = 0;
  virtual bool canCapture() = 0;
};

}  // namespace tavolin
