#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TavolinMacAgent/Platform/InputInjector.hpp"

namespace tavolin {

// Records every event posted, in order. Tell it to be untrusted, to fail a post (every key,
// text, mouse, scroll and warp call counts; a failed post records nothing), or to have no
// readable cursor. Mouse events and warps move the cursor, as a real pointer would.
// Thread-safe, like the real injectors.
class FakeInputInjector final : public InputInjector {
 public:
  enum class Type { key, text, mouse, scroll, warp };

  struct Event {
    Type type = Type::key;
    std::uint16_t keyCode = 0;
    bool down = false;
    KeyNames::ModifierFlags modifiers = 0;
    std::string text = {};
    MouseEventKind mouseKind = MouseEventKind::moved;
    KeyNames::MouseButton button = KeyNames::MouseButton::left;
    Point point = {};
    int clickState = 0;
    std::int32_t deltaX = 0;
    std::int32_t deltaY = 0;
    bool operator==(const Event&) const = default;
  };

  static Event key(std::uint16_t keyCode, bool down, KeyNames::ModifierFlags modifiers = 0) {
    return {.type = Type::key, .keyCode = keyCode, .down = down, .modifiers = modifiers};
  }
  static Event mouse(MouseEventKind kind, KeyNames::MouseButton button, Point point,
                     KeyNames::ModifierFlags modifiers = 0, int clickState = 1) {
    return {.type = Type::mouse,
            .modifiers = modifiers,
            .mouseKind = kind,
            .button = button,
            .point = point,
            .clickState = clickState};
  }

  bool isTrusted() override {
    std::lock_guard lock(mutex_);
    return trusted;
  }

  bool postKey(std::uint16_t keyCode, bool down, KeyNames::ModifierFlags modifiers) override {
    return post(key(keyCode, down, modifiers));
  }

  bool typeText(std::string_view text) override {
    return post({.type = Type::text, .text = std::string(text)});
  }

  bool postMouse(MouseEventKind kind, KeyNames::MouseButton button, Point point,
                 KeyNames::ModifierFlags modifiers, int clickState) override {
    return post(mouse(kind, button, point, modifiers, clickState));
  }

  bool postScroll(std::int32_t deltaX, std::int32_t deltaY) override {
    return post({.type = Type::scroll, .deltaX = deltaX, .deltaY = deltaY});
  }

  std::optional<Point> cursorPosition() override {
    std::lock_guard lock(mutex_);
    return cursor;
  }

  bool warpCursor(Point point) override { return post({.type = Type::warp, .point = point}); }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  // The events so far, forgotten here.
  std::vector<Event> takeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

  // The `n`th post from now fails (1: the next one).
  void failPost(int n) {
    std::lock_guard lock(mutex_);
    failingPost_ = posts_ + n;
  }

  // Settings; change them while the code under test is not running.
  bool trusted = true;
  std::optional<Point> cursor = Point{100, 100};

 private:
  bool post(Event event) {
    std::lock_guard lock(mutex_);
    if (++posts_ == failingPost_)
      return false;
    if (event.type == Type::mouse || event.type == Type::warp) {
      if (cursor)
        cursor = event.point;
    }
    events_.push_back(std::move(event));
    return true;
  }

  mutable std::mutex mutex_;
  int posts_ = 0;
  std::optional<int> failingPost_;
  std::vector<Event> events_;
};

}  // namespace tavolin
