#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

namespace tavolin {

// Captures the main display rectangle (x11MainDisplayRect) of the root window. A source reads
// into a MIT-SHM segment it owns when the server is on this machine and offers the extension,
// and falls back to plain GetImage requests otherwise (a remote display, a refused attach).
// Only servers with 32 bits per pixel, little-endian 8-8-8 RGB (every Xorg and Xvfb at depth 24
// or 32) are captured; other formats give no image.
class X11ScreenCapture final : public ScreenCapture {
 public:
  enum class Transfer {
    automatic,  // MIT-SHM when it works, else GetImage
    getImage,   // always GetImage (tests of the fallback)
  };

  explicit X11ScreenCapture(std::shared_ptr<X11DisplayConnector> connector,
                            Transfer transfer = Transfer::automatic);

  std::unique_ptr<ScreenCaptureSource> makeSource() override;
  bool canCapture() override;

 private:
  std::shared_ptr<X11DisplayConnector> connector_;
  Transfer transfer_;
};

}  // namespace tavolin
