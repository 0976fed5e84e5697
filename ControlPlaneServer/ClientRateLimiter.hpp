#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavolin {

// Per-client request limits for the routes anyone may call: at most `requests` of a kind in
// any `period` (a sliding window), counted per client identity (ClientAddress.hpp). Refused
// requests do not count, so a client that stops asking gets its turn back.
//
// Its own memory is bounded: a client idle for the longest period is forgotten, and beyond
// `maxClients` the longest-idle one makes room. Confined to one thread.
class ClientRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Kind { enrollmentCreate, enrollmentPoll, ownerStatus, bootstrap };

  struct Window {
    std::size_t requests;
    Clock::duration period;
    // The "error" code of the 429 answer.
    std::string_view refusal;
  };

  static constexpr std::size_t defaultMaxClients = 16384;

  // The limits themselves. An agent creates one enrolment request per ten-minute code and
  // polls it every four seconds; a few such agents share one address behind a NAT.
  static Window window(Kind kind);

  explicit ClientRateLimiter(std::size_t maxClients = defaultMaxClients);

  // True when `client` may make one more request of `kind` at `now`, which then counts.
  bool allow(const std::string& client, Kind kind, Clock::time_point now);

  std::size_t trackedClients() const { return entries_.size(); }

 private:
  static constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::bootstrap) + 1;

  struct Entry {
    std::string client;
    Clock::time_point lastSeen;
    std::array<std::vector<Clock::time_point>, kKinds> admitted;
  };

  void forgetIdle(Clock::time_point now);

  std::size_t maxClients_;
  // Most recently seen first.
  std::list<Entry> entries_;
  // Keys view the strings held by `entries_`, whose nodes never move.
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace tavolin
