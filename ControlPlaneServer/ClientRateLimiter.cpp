#include "ControlPlaneServer/ClientRateLimiter.hpp"

#include <algorithm>

namespace tavolin {
namespace {

using namespace std::chrono_literals;

constexpr auto kLongestPeriod =
    std::chrono::duration_cast<ClientRateLimiter::Clock::duration>(10min);

}  // namespace

ClientRateLimiter::Window ClientRateLimiter::window(Kind kind) {
  switch (kind) {
    case Kind::enrollmentCreate:
      return {10, kLongestPeriod, "too_many_enrollment_requests"};
    case Kind::enrollmentPoll:
      return {30, 10s, "too_many_requests"};
    case Kind::ownerStatus:
      return {30, 10s, "too_many_requests"};
    case Kind::bootstrap:
      return {10, 1min, "too_many_requests"};
  }
  return {0, 0s, "too_many_requests"};
}

ClientRateLimiter::ClientRateLimiter(std::size_t maxClients) : maxClients_(maxClients) {}

void ClientRateLimiter::forgetIdle(Clock::time_point now) {
  // The least recently seen are at the back; once one is recent, all before it are too.
  while (!entries_.empty() && now - entries_.back().lastSeen >= kLongestPeriod) {
    index_.erase(entries_.back().client);
    entries_.pop_back();
  }
}

bool ClientRateLimiter::allow(const std::string& client, Kind kind, Clock::time_point now) {
  forgetIdle(now);
  auto found = index_.find(client);
  if (found == index_.end()) {
    if (entries_.size() >= maxClients_) {
      index_.erase(entries_.back().client);
      entries_.pop_back();
    }
    entries_.push_front(Entry{.client = client, .lastSeen = now, .admitted = {}});
    found = index_.emplace(entries_.front().client, entries_.begin()).first;
  } else {
    entries_.splice(entries_.begin(), entries_, found->second);
    found->second->lastSeen = now;
  }

  const Window limit = window(kind);
  auto& admitted = found->second->admitted[static_cast<std::size_t>(kind)];
  admitted.erase(admitted.begin(),
                 std::find_if(admitted.begin(), admitted.end(),
                              [&](Clock::time_point at) { return now - at < limit.period; }));
  if (admitted.size() >= limit.requests)
    return false;
  admitted.push_back(now);
  return true;
}

}  // namespace tavolin
