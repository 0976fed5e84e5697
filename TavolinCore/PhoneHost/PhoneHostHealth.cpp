#include "TavolinCore/PhoneHost/PhoneHostHealth.hpp"

#include <algorithm>
#include <cstdint>

namespace tavolin {
namespace {

constexpr std::string_view slowMessage =
    "iPhone stream is slow. Move closer to Wi-Fi or choose Low Data.";

}  // namespace

PhoneHostHealthReading phoneHostStreamHealth(PhoneBroadcastState state,
                                             const std::optional<PhoneHostFrameInfo>& latestFrame,
                                             Date now) {
  using Health = PhoneHostStreamHealth;
  switch (state) {
    case PhoneBroadcastState::failed:
      return {Health::failed,
              "The iPhone broadcast failed. Check the broadcast extension message on the phone."};
    case PhoneBroadcastState::stopped:
      return {Health::stopped, "iPhone sharing is stopped."};
    case PhoneBroadcastState::waitingForReplayKitConsent:
      return {Health::waiting, std::string(PhoneHostHealth::consentMessage)};
    default:
      break;
  }
  if (!latestFrame)
    return {Health::waiting, "Waiting for the first encrypted iPhone frame."};
  const auto receivedAt =
      latestFrame->receivedAt ? TavolinISO8601::date(*latestFrame->receivedAt) : std::nullopt;
  if (!receivedAt)
    return {Health::live, "Receiving encrypted iPhone frames."};

  using Seconds = std::chrono::duration<double>;
  const double seconds = std::max(0.0, Seconds(elapsedMicroseconds(*receivedAt, now)).count());
  if (seconds > Seconds(PhoneHostHealth::staleAfter).count()) {
    return {Health::stale,
            "No iPhone frames received for " + std::to_string(static_cast<std::int64_t>(seconds)) +
                " seconds. Check that Screen Broadcast is still running.",
            seconds};
  }
  const auto& framesPerSecond = latestFrame->framesPerSecond;
  if (seconds > Seconds(PhoneHostHealth::slowAfter).count() ||
      (framesPerSecond && *framesPerSecond < PhoneHostHealth::slowBelowFramesPerSecond)) {
    return {Health::slow, std::string(slowMessage), seconds};
  }
  return {Health::live, "Live iPhone stream.", seconds};
}

PhoneHostSnapshot phoneHostSnapshotWithCurrentHealth(PhoneHostSnapshot snapshot, Date now) {
  auto reading = phoneHostStreamHealth(snapshot.state, snapshot.latestFrame, now);
  snapshot.streamHealth = reading.health;
  snapshot.statusMessage = std::move(reading.statusMessage);
  snapshot.secondsSinceLastFrame = reading.secondsSinceLastFrame;
  snapshot.updatedAt = TavolinISO8601::string(now);
  return snapshot;
}

}  // namespace tavolin
