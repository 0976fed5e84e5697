#pragma once

// The health verdict a viewer shows for a phone broadcast, from the broadcast state, the newest
// frame and the time of reading. It changes with time alone, so it is computed whenever a
// snapshot is read rather than stored.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/PhoneHostRecords.hpp"

namespace tavolin {

namespace PhoneHostHealth {

// Without a frame for longer than this the stream is stale ...
inline constexpr std::chrono::seconds staleAfter{5};
// ... and for longer than this, or below this frame rate, slow.
inline constexpr std::chrono::seconds slowAfter{2};
inline constexpr double slowBelowFramesPerSecond = 4;

// Also the message of a start request, which waits for the same consent.
inline constexpr std::string_view consentMessage =
    "Start requested from this laptop. Approve Tavolin in the iPhone Screen Broadcast prompt.";

}  // namespace PhoneHostHealth

struct PhoneHostHealthReading {
  PhoneHostStreamHealth health{};
  std::string statusMessage{};
  // Only once a frame with a readable arrival time exists.
  std::optional<double> secondsSinceLastFrame{};

  friend bool operator==(const PhoneHostHealthReading&, const PhoneHostHealthReading&) = default;
};

// A failed, stopped or consent-waiting broadcast reads as such whatever its frames; otherwise
// the age of `latestFrame` at `now` and its frame rate decide.
PhoneHostHealthReading phoneHostStreamHealth(PhoneBroadcastState state,
                                             const std::optional<PhoneHostFrameInfo>& latestFrame,
                                             Date now);

// `snapshot` with health, message, seconds since the last frame and `updatedAt` as of `now`.
PhoneHostSnapshot phoneHostSnapshotWithCurrentHealth(PhoneHostSnapshot snapshot, Date now);

}  // namespace tavolin
