#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinMacAgent/Platform/Pasteboard.hpp"

namespace tavolin {

// An in-memory clipboard for tests: it records every text it was given, plays other
// applications' copies (`copyFromOtherApplication`), can be told to refuse sets, and can hold
// reads as an owner that does not answer holds them. Thread-safe.
class FakePasteboard final : public Pasteboard {
 public:
  bool setString(std::string_view text) override {
    std::lock_guard lock(mutex_);
    sets_.emplace_back(text);
    if (failSets_)
      return false;
    text_ = std::string(text);
    ++changeCount_;
    return true;
  }

  std::optional<std::string> string() override {
    std::unique_lock lock(mutex_);
    if (const auto limit = readLimit_) {
      ++readsWaiting_;
      released_.wait_for(lock, *limit, [&] { return !readLimit_; });
      --readsWaiting_;
    }
    return text_;
  }

  std::int64_t changeCount() override {
    std::lock_guard lock(mutex_);
    return changeCount_;
  }

  // Another application copied `text` (nothing: it cleared the clipboard).
  void copyFromOtherApplication(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
    ++changeCount_;
  }

  // Later sets are recorded but fail and change nothing.
  void failSets(bool fail = true) {
    std::lock_guard lock(mutex_);
    failSets_ = fail;
  }

  // Later reads wait until releaseReads(), at most `limit` each.
  void holdReads(std::chrono::milliseconds limit) {
    std::lock_guard lock(mutex_);
    readLimit_ = limit;
  }
  void releaseReads() {
    {
      std::lock_guard lock(mutex_);
      readLimit_.reset();
    }
    released_.notify_all();
  }
  // Reads waiting now.
  int readsWaiting() const {
    std::lock_guard lock(mutex_);
    return readsWaiting_;
  }

  // Every text setString was given, refused ones included.
  std::vector<std::string> sets() const {
    std::lock_guard lock(mutex_);
    return sets_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
  std::int64_t changeCount_ = 0;
  bool failSets_ = false;
  std::vector<std::string> sets_;
  std::optional<std::chrono::milliseconds> readLimit_;
  std::condition_variable released_;
  int readsWaiting_ = 0;
};

}  // namespace tavolin
