#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinMacAgent/Platform/ScreenCaptureSource.hpp"

namespace tavolin {

// Serves a set BGRA image (tightly packed rows) to every source it makes. Thread-safe: the
// test thread may change the image or fail while a source grabs on another thread. Each grab
// copies the image into the source, so a change never tears a frame already handed out.
class FakeScreenCapture final : public ScreenCapture {
 public:
  FakeScreenCapture(int width, int height, std::vector<std::uint8_t> bgra)
      : state_(std::make_shared<State>()) {
    setImage(width, height, std::move(bgra));
  }

  // A width × height image of one colour.
  static std::vector<std::uint8_t> solid(int width, int height, std::uint8_t blue,
                                         std::uint8_t green, std::uint8_t red) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = blue;
      pixels[i + 1] = green;
      pixels[i + 2] = red;
      pixels[i + 3] = 0xFF;
    }
    return pixels;
  }

  void setImage(int width, int height, std::vector<std::uint8_t> bgra) {
    std::lock_guard lock(state_->mutex);
    state_->width = width;
    state_->height = height;
    state_->pixels = std::move(bgra);
  }

  // While failing, grabs return nothing and canCapture is false.
  void setFailing(bool failing) {
    std::lock_guard lock(state_->mutex);
    state_->failing = failing;
  }

  int grabCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->grabs;
  }

  int sourcesMade() const {
    std::lock_guard lock(state_->mutex);
    return state_->sources;
  }

  std::unique_ptr<ScreenCaptureSource> makeSource() override {
    std::lock_guard lock(state_->mutex);
    ++state_->sources;
    return std::make_unique<Source>(state_);
  }

  bool canCapture() override {
    std::lock_guard lock(state_->mutex);
    return !state_->failing;
  }

 private:
  struct State {
    mutable std::mutex mutex;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    bool failing = false;
    int grabs = 0;
    int sources = 0;
  };

  class Source final : public ScreenCaptureSource {
   public:
    explicit Source(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::optional<CapturedImage> grab() override {
      std::lock_guard lock(state_->mutex);
      ++state_->grabs;
      if (state_->failing)
        return std::nullopt;
      pixels_ = state_->pixels;
      return CapturedImage{pixels_.data(), state_->width, state_->height,
                           static_cast<std::size_t>(state_->width) * 4,
                           monotonicUptimeNanoseconds()};
    }

   private:
    std::shared_ptr<State> state_;
    std::vector<std::uint8_t> pixels_;
  };

  std::shared_ptr<State> state_;
};

}  // namespace tavolin
