#include "TavolinMacAgent/Commands/BenchmarkSurfaceCommands.hpp"

#include <algorithm>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/Task.hpp"
#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {

using CommandResults::failed;
using CommandResults::succeeded;

namespace {

constexpr RGBColor kOddFlashColor{255, 13, 255};
constexpr RGBColor kEvenFlashColor{13, 255, 13};

Rect centredSquare(const Rect& display, double side) {
  return {display.x + (display.width - side) / 2, display.y + (display.height - side) / 2, side,
          side};
}

}  // namespace

struct BenchmarkSurfaceCommands::Context : std::enable_shared_from_this<Context> {
  Context(Executor executor, std::shared_ptr<DisplayGeometry> geometry,
          std::shared_ptr<BenchmarkSurfaces> surfaces, const Clock& clock,
          BenchmarkSurfaceHideDelays hideDelays)
      : executor(std::move(executor)),
        geometry(std::move(geometry)),
        surfaces(std::move(surfaces)),
        clock(clock),
        hideDelays(hideDelays) {}

  CompleteCommandPayload flash(const JSONObject& payload) {
    const std::int64_t sequence = CommandPayload::integer(payload, "sequence").value_or(0);
    const RGBColor color = sequence % 2 != 0 ? kOddFlashColor : kEvenFlashColor;
    const auto display = geometry->mainDisplayBounds();
    if (!display || !surfaces->showFlash(flashSquare(*display), color))
      return failed("benchmark_flash_screen_unavailable");
    const Date shownAt = clock.now();
    scheduleHide(flashHide, hideDelays.flash, &BenchmarkSurfaces::hideFlash);
    return succeeded({{"sequence", sequence},
                      {"targetNormalizedX", 0.5},
                      {"targetNormalizedY", 0.5},
                      {"targetRed", color.red},
                      {"targetGreen", color.green},
                      {"targetBlue", color.blue},
                      {"shownAt", TavolinISO8601::string(shownAt)}});
  }

  CompleteCommandPayload scrollSurface(const JSONObject& payload) {
    const std::string* action = CommandPayload::string(payload, "action");
    if (action && *action == "hide") {
      scrollHide.cancel();
      surfaces->hideScrollSurface();
      return succeeded({{"action", "hide"}});
    }
    const auto display = geometry->mainDisplayBounds();
    if (!display || !surfaces->showScrollSurface(scrollSurfaceArea(*display)))
      return failed("benchmark_scroll_screen_unavailable");
    const Date shownAt = clock.now();
    scheduleHide(scrollHide, hideDelays.scroll, &BenchmarkSurfaces::hideScrollSurface);
    const RGBColor initial = ScrollSurfacePattern::initialCenterColor();
    return succeeded({{"action", "show"},
                      {"targetNormalizedX", 0.5},
                      {"targetNormalizedY", 0.5},
                      {"initialRed", initial.red},
                      {"initialGreen", initial.green},
                      {"initialBlue", initial.blue},
                      {"shownAt", TavolinISO8601::string(shownAt)}});
  }

  void scheduleHide(Task& slot, std::chrono::steady_clock::duration delay,
                    void (BenchmarkSurfaces::*hide)()) {
    slot.cancel();
    slot = Task::spawn(executor, "benchmark-surface-hide",
                       [weak = weak_from_this(), delay, hide]() -> Awaitable<void> {
                         co_await sleepFor(delay);
                         if (auto self = weak.lock())
                           (self->surfaces.get()->*hide)();
                       });
  }

  Executor executor;
  std::shared_ptr<DisplayGeometry> geometry;
  std::shared_ptr<BenchmarkSurfaces> surfaces;
  const Clock& clock;
  BenchmarkSurfaceHideDelays hideDelays;
  Task flashHide;
  Task scrollHide;
};

namespace {

using Method = CompleteCommandPayload (BenchmarkSurfaceCommands::Context::*)(const JSONObject&);

Awaitable<CompleteCommandPayload> answer(std::shared_ptr<BenchmarkSurfaceCommands::Context> context,
                                         Method method, const JSONObject& payload) {
  co_return (context.get()->*method)(payload);
}

}  // namespace

BenchmarkSurfaceCommands::BenchmarkSurfaceCommands(Executor executor,
                                                   std::shared_ptr<DisplayGeometry> geometry,
                                                   std::shared_ptr<BenchmarkSurfaces> surfaces,
                                                   const Clock& clock,
                                                   BenchmarkSurfaceHideDelays hideDelays)
    : context_(std::make_shared<Context>(std::move(executor), std::move(geometry),
                                         std::move(surfaces), clock, hideDelays)) {}

void BenchmarkSurfaceCommands::registerWith(CommandExecutor& executor) const {
  const auto add = [&](std::string type, Method method) {
    executor.registerHandler(std::move(type),
                             [context = context_, method](const JSONObject& payload) {
                               return answer(context, method, payload);
                             });
  };
  add("benchmark_flash", &Context::flash);
  add("benchmark_scroll_surface", &Context::scrollSurface);
}

Rect BenchmarkSurfaceCommands::flashSquare(const Rect& display) {
  const double side = std::clamp(std::min(display.width, display.height) * 0.12, 150.0, 240.0);
  return centredSquare(display, side);
}

Rect BenchmarkSurfaceCommands::scrollSurfaceArea(const Rect& display) {
  return centredSquare(display, std::min(display.width, display.height) / 2);
}

}  // namespace tavolin
