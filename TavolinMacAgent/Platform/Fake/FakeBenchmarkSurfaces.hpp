#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "TavolinMacAgent/Platform/BenchmarkSurfaces.hpp"

namespace tavolin {

// Benchmark surfaces that only record: every call in order, and what is on screen now. Shows
// can be told to fail, leaving nothing shown. Thread-safe.
class FakeBenchmarkSurfaces final : public BenchmarkSurfaces {
 public:
  enum class Operation { showFlash, hideFlash, showScrollSurface, hideScrollSurface };

  struct Call {
    Operation operation;
    std::optional<Rect> rect;       // shows only
    std::optional<RGBColor> color;  // showFlash only
    bool operator==(const Call&) const = default;
  };

  bool showFlash(const Rect& square, RGBColor color) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::showFlash, square, color});
    flash_ = failShows_ ? std::nullopt : std::optional<Call>(calls_.back());
    return !failShows_;
  }

  void hideFlash() override {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::hideFlash, std::nullopt, std::nullopt});
    flash_.reset();
  }

  bool showScrollSurface(const Rect& area) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::showScrollSurface, area, std::nullopt});
    scrollSurface_ = failShows_ ? std::nullopt : std::optional<Rect>(area);
    return !failShows_;
  }

  void hideScrollSurface() override {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::hideScrollSurface, std::nullopt, std::nullopt});
    scrollSurface_.reset();
  }

  void failShows(bool fail = true) {
    std::lock_guard lock(mutex_);
    failShows_ = fail;
  }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  // The flash on screen now (its show call), if any.
  std::optional<Call> flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
  }

  std::optional<Rect> scrollSurface() const {
    std::lock_guard lock(mutex_);
    return scrollSurface_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::optional<Call> flash_;
  std::optional<Rect> scrollSurface_;
  bool failShows_ = false;
};

}  // namespace tavolin
