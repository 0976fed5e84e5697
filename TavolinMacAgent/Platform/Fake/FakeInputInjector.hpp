#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/InputInjector.hpp"

namespace tavolin {

// Records every event posted, in order. Tell it to be untrusted, to fail a post (every key,
// text, mouse, scroll and warp call counts; a failed post records nothing), or to have no
// readable cursor. Mouse events and warps move the cursor, as a real pointer would. Like a real
// keyboard and mouse it has rules: a key or button released that was never pressed fails the
// test. Thread-safe, like the real injectors.
class FakeInputInjector final : public InputInjector {
 public:
  enum class Type { key, text, mouse, scroll, warp };

  struct Event {
    Type type = Type::key;
    std::uint16_t keyCode = 0;
    bool down = false;
    ModifierFlags modifiers = 0;
    std::string text = {};
    MouseEventKind mouseKind = MouseEventKind::moved;
    MouseButton button = MouseButton::left;
    Point point = {};
    int clickState = 0;
    std::int32_t deltaX = 0;
    std::int32_t deltaY = 0;
    bool operator==(const Event&) const = default;
  };

  static Event key(std::uint16_t keyCode, bool down, ModifierFlags modifiers = 0) {
    return {.type = Type::key, .keyCode = keyCode, .down = down, .modifiers = modifiers};
  }
  static Event mouse(MouseEventKind kind, MouseButton button, Point point,
                     ModifierFlags modifiers = 0, int clickState = 1) {
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

  bool postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) override {
    return post(key(keyCode, down, modifiers));
  }

  bool typeText(std::string_view text) override {
    return post({.type = Type::text, .text = std::string(text)});
  }

  bool postMouse(MouseEventKind kind, MouseButton button, Point point, ModifierFlags modifiers,
                 int clickState) override {
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
    checkPressAndRelease(event);
    events_.push_back(std::move(event));
    return true;
  }

  // A release needs a press before it; a press while held is a repeat, as on a real keyboard.
  void checkPressAndRelease(const Event& event) {
    const auto release = [&](auto& held, int what, const char* name) {
      if (held.erase(what) == 0)
        ADD_FAILURE() << name << " " << what << " released but never pressed";
    };
    if (event.type == Type::key) {
      if (event.down)
        heldKeys_.insert(event.keyCode);
      else
        release(heldKeys_, event.keyCode, "key");
    } else if (event.type == Type::mouse) {
      const int button = static_cast<int>(event.button);
      if (event.mouseKind == MouseEventKind::down)
        heldButtons_.insert(button);
      else if (event.mouseKind == MouseEventKind::up)
        release(heldButtons_, button, "mouse button");
    }
  }

  mutable std::mutex mutex_;
  std::set<int> heldKeys_;
  std::set<int> heldButtons_;
  int posts_ = 0;
  std::optional<int> failingPost_;
  std::vector<Event> events_;
};

}  // namespace tavolin
