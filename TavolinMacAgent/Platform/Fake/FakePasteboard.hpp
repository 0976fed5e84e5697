#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinMacAgent/Platform/Pasteboard.hpp"

namespace tavolin {

// An in-memory clipboard for tests: it records every text it was given, plays other
// applications' copies (`copyFromOtherApplication`), and can be told to refuse sets.
// Thread-safe.
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
    std::lock_guard lock(mutex_);
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
};

}  // namespace tavolin
