#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"

namespace tavolin {

// Records kept for readers that come back for them shortly after (a command's result, an ended
// session), within a bound: at most `capacity` of them and none older than `lifetime`, the
// oldest going first. Ids come from clients, so without the bound every request could grow it.
// Not thread-safe.
template <class Value>
class RecentEntries {
 public:
  RecentEntries(std::size_t capacity, std::chrono::seconds lifetime)
      : capacity_(capacity), lifetime_(lifetime) {}

  // Stores `value` under `id` as the newest entry, replacing one stored before.
  void insert(const std::string& id, Value value, Date now) {
    byId_.erase(id);
    std::erase_if(order_, [&](const auto& entry) { return entry.second == id; });
    byId_.emplace(id, std::pair(now, std::move(value)));
    order_.emplace_back(now, id);
    prune(now);
  }

  // The entry, while it is within the bound.
  const Value* find(const std::string& id, Date now) const {
    const auto found = byId_.find(id);
    if (found == byId_.end() || found->second.first < now - lifetime_)
      return nullptr;
    return &found->second.second;
  }

  std::size_t size() const { return byId_.size(); }

 private:
  void prune(Date now) {
    while (!order_.empty() &&
           (order_.size() > capacity_ || order_.front().first < now - lifetime_)) {
      byId_.erase(order_.front().second);
      order_.pop_front();
    }
  }

  std::size_t capacity_;
  std::chrono::seconds lifetime_;
  std::unordered_map<std::string, std::pair<Date, Value>> byId_;
  std::deque<std::pair<Date, std::string>> order_;  // oldest first
};

}  // namespace tavolin
