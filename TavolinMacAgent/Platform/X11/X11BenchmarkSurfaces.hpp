#pragma once

#include <memory>
#include <string>

#include "TavolinMacAgent/Platform/BenchmarkSurfaces.hpp"

namespace tavolin {

// The benchmark surfaces as override-redirect windows, so no window manager delays, decorates
// or moves them: raised above their siblings, mapped and drawn before a show returns. The
// flash square is the window's background colour; the scroll surface draws
// ScrollSurfacePattern and redraws on every wheel button press it receives. The windows are
// named "Tavolin benchmark flash" and "Tavolin benchmark scroll surface" (WM_NAME).
//
// Owns an event thread with a connection of its own (the scroll surface answers events);
// calls wait for it and may come from any thread. A display that went away takes the windows
// with it; the next show connects again. Destruction closes the windows.
class X11BenchmarkSurfaces final : public BenchmarkSurfaces {
 public:
  explicit X11BenchmarkSurfaces(std::string displayName);
  ~X11BenchmarkSurfaces() override;
  X11BenchmarkSurfaces(const X11BenchmarkSurfaces&) = delete;
  X11BenchmarkSurfaces& operator=(const X11BenchmarkSurfaces&) = delete;

  bool showFlash(const Rect& square, RGBColor color) override;
  void hideFlash() override;
  bool showScrollSurface(const Rect& area) override;
  void hideScrollSurface() override;

 private:
  class Windows;
  std::unique_ptr<Windows> windows_;
};

}  // namespace tavolin
