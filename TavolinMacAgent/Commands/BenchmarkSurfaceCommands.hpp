#pragma once

#include <chrono>
#include <memory>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Platform/BenchmarkSurfaces.hpp"
#include "TavolinMacAgent/Platform/DisplayGeometry.hpp"

namespace tavolin {

// How long each surface stays up; tests shorten them.
struct BenchmarkSurfaceHideDelays {
  std::chrono::steady_clock::duration flash = std::chrono::milliseconds(1750);
  std::chrono::steady_clock::duration scroll = std::chrono::seconds(30);
};

// "benchmark_flash" and "benchmark_scroll_surface": latency surfaces a controller watches in
// the video. The flash is a square at the centre of the main display, magenta for an odd
// `sequence` and green for an even one, hidden again after the flash delay (a later flash
// replaces the pending hide). The scroll surface is a square of half the main display's
// shorter side at its centre, hidden after the scroll delay unless hidden or shown again
// before. Any `action` but "hide" shows it.
//
// Handlers and hide tasks run on the main actor (`executor`). The handlers hold what they use
// themselves, so this object need not outlive them; `clock` must outlive them.
class BenchmarkSurfaceCommands {
 public:
  BenchmarkSurfaceCommands(Executor executor, std::shared_ptr<DisplayGeometry> geometry,
                           std::shared_ptr<BenchmarkSurfaces> surfaces, const Clock& clock,
                           BenchmarkSurfaceHideDelays hideDelays = {});

  void registerWith(CommandExecutor& executor) const;

  // The flash square for a main display: side min(width, height) × 0.12 clamped to
  // [150, 240], centred.
  static Rect flashSquare(const Rect& display);
  static Rect scrollSurfaceArea(const Rect& display);

  struct Context;

 private:
  std::shared_ptr<Context> context_;
};

}  // namespace tavolin
