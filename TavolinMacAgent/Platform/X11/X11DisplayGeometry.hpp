#pragma once

#include <memory>

#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"

namespace tavolin {

// The main display is the primary RandR output's CRTC, in root-window coordinates; without a
// primary output (Xvfb, RandR missing) it is the whole root window.
class X11DisplayGeometry final : public DisplayGeometry {
 public:
  explicit X11DisplayGeometry(std::shared_ptr<X11DisplayConnector> connector);

  std::optional<Rect> mainDisplayBounds() override;
  std::optional<PixelSize> mainDisplayPixelSize() override;

 private:
  std::shared_ptr<X11DisplayConnector> connector_;
};

// The rectangle of the main display on `connection` (see X11DisplayGeometry).
Rect x11MainDisplayRect(X11Connection& connection);

}  // namespace tavolin
