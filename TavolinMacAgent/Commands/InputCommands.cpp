#include "TavolinMacAgent/Commands/InputCommands.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinCore/Runtime/RunOn.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinCore/Runtime/Timers.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"
#include "TavolinMacAgent/Commands/KeyNames.hpp"

namespace tavolin {

struct InputCommands::Context {
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<DisplayGeometry> geometry;
  // Where keys are posted: a text that needs more keys than the layout has spare waits between
  // its rounds, and a long one takes a while anyway. One queue keeps the keyboard commands in
  // the order they came.
  std::shared_ptr<SerialQueue> keyboard;
};

namespace {

using CommandResults::failed;
using CommandResults::succeeded;
using Context = InputCommands::Context;
using Handler = Awaitable<CompleteCommandPayload> (*)(const Context&, const JSONObject&);

constexpr int kDragSteps = 12;
constexpr auto kDragStepInterval = std::chrono::milliseconds(10);

// The last pixel of the display is maxX - 1: the cursor stays on it.
Point clampedToDisplay(Point point, const Rect& display) {
  return {std::max(display.minX(), std::min(point.x, display.maxX() - 1)),
          std::max(display.minY(), std::min(point.y, display.maxY() - 1))};
}

std::optional<Point> givenPoint(const JSONObject& payload, std::string_view xKey,
                                std::string_view yKey) {
  const auto x = CommandPayload::real(payload, xKey);
  const auto y = CommandPayload::real(payload, yKey);
  if (!x || !y)
    return std::nullopt;
  return Point{*x, *y};
}

// Fractions of the main display only, each clamped to [0, 1].
std::optional<Point> normalizedPoint(const Context& context, const JSONObject& payload,
                                     std::string_view xKey, std::string_view yKey) {
  const auto fractions = givenPoint(payload, xKey, yKey);
  if (!fractions)
    return std::nullopt;
  const auto display = context.geometry->mainDisplayBounds();
  if (!display)
    return std::nullopt;
  return Point{display->minX() + std::clamp(fractions->x, 0.0, 1.0) * display->width,
               display->minY() + std::clamp(fractions->y, 0.0, 1.0) * display->height};
}

// The point of click and button commands: given, else normalized, else the cursor.
std::optional<Point> resolvedPoint(const Context& context, const JSONObject& payload) {
  if (auto point = givenPoint(payload, "x", "y"))
    return point;
  if (auto point = normalizedPoint(context, payload, "normalizedX", "normalizedY"))
    return point;
  return context.injector->cursorPosition();
}

MouseButton buttonOf(const JSONObject& payload) {
  const std::string* name = CommandPayload::string(payload, "button");
  return KeyNames::mouseButton(name != nullptr ? *name : "left");
}

std::vector<std::string> modifiersOf(const JSONObject& payload) {
  return CommandPayload::stringList(payload, "modifiers").value_or(std::vector<std::string>{});
}

std::int64_t clampedInteger(const JSONObject& payload, std::string_view key, std::int64_t low,
                            std::int64_t high) {
  return std::clamp(CommandPayload::integer(payload, key).value_or(low), low, high);
}

JSONObject pointResult(Point point, MouseButton button) {
  return {{"x", point.x}, {"y", point.y}, {"button", KeyNames::reportedName(button)}};
}

Awaitable<CompleteCommandPayload> keyboardText(const Context& context, const JSONObject& payload) {
  const std::string* text = CommandPayload::string(payload, "text");
  if (text == nullptr || text->empty())
    co_return failed("missing_text");
  InputInjector* injector = context.injector.get();
  if (!co_await runOn(*context.keyboard, [injector, text] { return injector->typeText(*text); }))
    co_return failed("keyboard_event_create_failed");
  co_return succeeded({{"characters", graphemeClusterCount(*text)}});
}

Awaitable<CompleteCommandPayload> keyboardShortcut(const Context& context,
                                                   const JSONObject& payload) {
  const std::string* key = CommandPayload::string(payload, "key");
  const auto code = key != nullptr ? KeyNames::keyCode(*key) : std::nullopt;
  if (!code)
    co_return failed("unknown_key");
  const std::vector<std::string> modifiers = modifiersOf(payload);
  const ModifierFlags flags = KeyNames::modifierFlags(modifiers);
  const std::int64_t repeatCount = clampedInteger(payload, "repeatCount", 1, 50);
  InputInjector* injector = context.injector.get();
  const auto press = [injector, keyCode = *code, flags, repeatCount] {
    for (std::int64_t i = 0; i < repeatCount; ++i) {
      if (!injector->postKey(keyCode, true, flags) || !injector->postKey(keyCode, false, flags))
        return false;
    }
    return true;
  };
  if (!co_await runOn(*context.keyboard, press))
    co_return failed("keyboard_event_create_failed");
  co_return succeeded(
      {{"key", *key}, {"modifiers", JSONValue::strings(modifiers)}, {"repeatCount", repeatCount}});
}

Awaitable<CompleteCommandPayload> pointerClick(const Context& context, const JSONObject& payload) {
  const auto point = resolvedPoint(context, payload);
  if (!point)
    co_return failed("missing_point");
  const MouseButton button = buttonOf(payload);
  const std::int64_t clickCount = clampedInteger(payload, "clickCount", 1, 3);
  const ModifierFlags flags = KeyNames::modifierFlags(modifiersOf(payload));
  for (int click = 1; click <= clickCount; ++click) {
    if (!context.injector->postMouse(MouseEventKind::down, button, *point, flags, click) ||
        !context.injector->postMouse(MouseEventKind::up, button, *point, flags, click)) {
      co_return failed("pointer_event_create_failed");
    }
  }
  JSONObject result = pointResult(*point, button);
  result.set("clickCount", clickCount);
  co_return succeeded(std::move(result));
}

template <MouseEventKind kind>
Awaitable<CompleteCommandPayload> pointerButton(const Context& context, const JSONObject& payload) {
  const auto point = resolvedPoint(context, payload);
  if (!point)
    co_return failed("missing_point");
  const MouseButton button = buttonOf(payload);
  if (!context.injector->postMouse(kind, button, *point, 0, 1))
    co_return failed("pointer_event_create_failed");
  JSONObject result = pointResult(*point, button);
  result.set("phase", kind == MouseEventKind::down ? "down" : "up");
  co_return succeeded(std::move(result));
}

Awaitable<CompleteCommandPayload> pointerDrag(const Context& context, const JSONObject& payload) {
  const MouseButton button = buttonOf(payload);
  auto from = givenPoint(payload, "fromX", "fromY");
  if (!from)
    from = normalizedPoint(context, payload, "fromNormalizedX", "fromNormalizedY");
  auto to = givenPoint(payload, "toX", "toY");
  if (!to)
    to = normalizedPoint(context, payload, "toNormalizedX", "toNormalizedY");
  if (!from || !to) {
    // A relative drag from the cursor, not clamped to the display.
    const auto delta = givenPoint(payload, "deltaX", "deltaY");
    from = delta ? context.injector->cursorPosition() : std::nullopt;
    if (!from)
      co_return failed("missing_drag_points");
    to = Point{from->x + delta->x, from->y + delta->y};
  }

  InputInjector& injector = *context.injector;
  if (!injector.postMouse(MouseEventKind::down, button, *from, 0, 1))
    co_return failed("pointer_event_create_failed");
  for (int step = 1; step <= kDragSteps; ++step) {
    const Point point{from->x + (to->x - from->x) * step / kDragSteps,
                      from->y + (to->y - from->y) * step / kDragSteps};
    if (!injector.postMouse(MouseEventKind::dragged, button, point, 0, 1))
      co_return failed("pointer_event_create_failed");
    co_await sleepFor(kDragStepInterval);
  }
  if (!injector.postMouse(MouseEventKind::up, button, *to, 0, 1))
    co_return failed("pointer_event_create_failed");
  co_return succeeded({{"fromX", from->x},
                       {"fromY", from->y},
                       {"toX", to->x},
                       {"toY", to->y},
                       {"button", KeyNames::reportedName(button)}});
}

Awaitable<CompleteCommandPayload> pointerDragMove(const Context& context,
                                                  const JSONObject& payload) {
  const MouseButton button = buttonOf(payload);
  auto target = givenPoint(payload, "x", "y");
  if (!target)
    target = normalizedPoint(context, payload, "normalizedX", "normalizedY");
  if (!target) {
    const auto delta = givenPoint(payload, "deltaX", "deltaY");
    const auto cursor = delta ? context.injector->cursorPosition() : std::nullopt;
    const auto display = cursor ? context.geometry->mainDisplayBounds() : std::nullopt;
    if (display)
      target = clampedToDisplay({cursor->x + delta->x, cursor->y + delta->y}, *display);
  }
  if (!target)
    co_return failed("missing_drag_move_target");
  if (!context.injector->postMouse(MouseEventKind::dragged, button, *target, 0, 1))
    co_return failed("pointer_event_create_failed");
  co_return succeeded(pointResult(*target, button));
}

Awaitable<CompleteCommandPayload> pointerMove(const Context& context, const JSONObject& payload) {
  co_return pointerMoveCommand(*context.injector, *context.geometry, payload);
}

// Deltas past 32 bits are clamped: the wheel caps what one delta does anyway.
std::int32_t scrollDelta(const JSONObject& payload, std::string_view key) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      CommandPayload::integer(payload, key).value_or(0), std::numeric_limits<std::int32_t>::min(),
      std::numeric_limits<std::int32_t>::max()));
}

Awaitable<CompleteCommandPayload> scroll(const Context& context, const JSONObject& payload) {
  co_return scrollCommand(*context.injector, payload);
}

Awaitable<CompleteCommandPayload> whenTrusted(std::shared_ptr<const Context> context,
                                              Handler handler, const JSONObject& payload) {
  if (auto refusal = accessibilityRefusal(*context->injector))
    co_return std::move(*refusal);
  co_return co_await handler(*context, payload);
}

}  // namespace

CompleteCommandPayload pointerMoveCommand(InputInjector& injector, DisplayGeometry& geometry,
                                          const JSONObject& payload) {
  const auto delta = givenPoint(payload, "deltaX", "deltaY");
  if (!delta)
    return failed("missing_pointer_delta");
  if (delta->x == 0 && delta->y == 0)
    return failed("empty_pointer_delta");
  const PointerMoveOutcome moved = movePointerBy(injector, geometry, delta->x, delta->y);
  if (!moved.position)
    return failed(moved.failureReason);
  return succeeded({{"x", moved.position->x},
                    {"y", moved.position->y},
                    {"deltaX", delta->x},
                    {"deltaY", delta->y}});
}

CompleteCommandPayload scrollCommand(InputInjector& injector, const JSONObject& payload) {
  const std::int32_t deltaX = scrollDelta(payload, "deltaX");
  const std::int32_t deltaY = scrollDelta(payload, "deltaY");
  if (deltaX == 0 && deltaY == 0)
    return failed("missing_scroll_delta");
  if (!injector.postScroll(deltaX, deltaY))
    return failed("scroll_event_create_failed");
  return succeeded({{"deltaX", deltaX}, {"deltaY", deltaY}});
}

std::optional<CompleteCommandPayload> accessibilityRefusal(InputInjector& injector) {
  if (injector.isTrusted())
    return std::nullopt;
  return failed("accessibility_not_granted");
}

PointerMoveOutcome movePointerBy(InputInjector& injector, DisplayGeometry& geometry, double deltaX,
                                 double deltaY) {
  const auto cursor = injector.cursorPosition();
  const auto display = cursor ? geometry.mainDisplayBounds() : std::nullopt;
  if (!display)
    return {std::nullopt, "pointer_location_unavailable"};
  const Point target = clampedToDisplay({cursor->x + deltaX, cursor->y + deltaY}, *display);
  if (!injector.warpCursor(target) ||
      !injector.postMouse(MouseEventKind::moved, MouseButton::left, target, 0, 1)) {
    return {std::nullopt, "pointer_event_create_failed"};
  }
  return {target, {}};
}

InputCommands::InputCommands(std::shared_ptr<InputInjector> injector,
                             std::shared_ptr<DisplayGeometry> geometry)
    : context_(std::make_shared<const Context>(
          Context{std::move(injector), std::move(geometry),
                  std::make_shared<SerialQueue>("app.tavolin.agent.input-commands")})) {}

void InputCommands::registerWith(CommandExecutor& executor) const {
  const auto add = [&](std::string type, Handler handler) {
    executor.registerHandler(std::move(type),
                             [context = context_, handler](const JSONObject& payload) {
                               return whenTrusted(context, handler, payload);
                             });
  };
  add("keyboard_text", keyboardText);
  add("keyboard_shortcut", keyboardShortcut);
  add("pointer_click", pointerClick);
  add("pointer_button_down", pointerButton<MouseEventKind::down>);
  add("pointer_button_up", pointerButton<MouseEventKind::up>);
  add("pointer_drag", pointerDrag);
  add("pointer_drag_move", pointerDragMove);
  add("pointer_move", pointerMove);
  add("scroll", scroll);
}

}  // namespace tavolin
