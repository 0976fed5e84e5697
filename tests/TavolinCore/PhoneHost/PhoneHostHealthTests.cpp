// The health verdict of a phone broadcast at a given moment.
#include <gtest/gtest.h>

#include "TavolinCore/PhoneHost/PhoneHostHealth.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

const Date arrival = *TavolinISO8601::date("2026-01-31T09:15:02.000Z");

PhoneHostFrameInfo frameAt(Date receivedAt, std::optional<double> framesPerSecond = 10) {
  PhoneHostFrameInfo frame;
  frame.capturedAt = TavolinISO8601::string(receivedAt);
  frame.receivedAt = TavolinISO8601::string(receivedAt);
  frame.framesPerSecond = framesPerSecond;
  return frame;
}

TEST(PhoneHostHealth, BroadcastStateDecidesFirstThenTheFrame) {
  using State = PhoneBroadcastState;
  using Health = PhoneHostStreamHealth;
  const auto fresh = std::optional(frameAt(arrival));
  EXPECT_EQ(phoneHostStreamHealth(State::failed, fresh, arrival),
            (PhoneHostHealthReading{Health::failed,
                                    "The iPhone broadcast failed. Check the broadcast extension "
                                    "message on the phone."}));
  EXPECT_EQ(phoneHostStreamHealth(State::stopped, fresh, arrival).health, Health::stopped);
  EXPECT_EQ(phoneHostStreamHealth(State::waitingForReplayKitConsent, fresh, arrival).health,
            Health::waiting);
  const PhoneHostHealthReading noFrame{Health::waiting,
                                       "Waiting for the first encrypted iPhone frame."};
  EXPECT_EQ(phoneHostStreamHealth(State::broadcasting, std::nullopt, arrival), noFrame);
  EXPECT_EQ(phoneHostStreamHealth(State::ready, std::nullopt, arrival), noFrame);

  // A frame whose arrival cannot be read is taken as live, without an age.
  auto unreadable = frameAt(arrival);
  const PhoneHostHealthReading receiving{Health::live, "Receiving encrypted iPhone frames."};
  unreadable.receivedAt = "soon";
  EXPECT_EQ(phoneHostStreamHealth(State::broadcasting, unreadable, arrival), receiving);
  unreadable.receivedAt.reset();
  EXPECT_EQ(phoneHostStreamHealth(State::paused, unreadable, arrival), receiving);
}

TEST(PhoneHostHealth, AgeAndFrameRateDecideLiveSlowAndStale) {
  const auto state = PhoneBroadcastState::broadcasting;
  const auto frame = std::optional(frameAt(arrival));
  const auto at = [&](std::chrono::milliseconds age) {
    return phoneHostStreamHealth(state, frame, arrival + age);
  };
  const std::string slow = "iPhone stream is slow. Move closer to Wi-Fi or choose Low Data.";
  using Health = PhoneHostStreamHealth;

  EXPECT_EQ(at(0ms), (PhoneHostHealthReading{Health::live, "Live iPhone stream.", 0.0}));
  EXPECT_EQ(at(2000ms).health, Health::live);
  EXPECT_EQ(at(2001ms), (PhoneHostHealthReading{Health::slow, slow, 2.001}));
  EXPECT_EQ(at(5000ms).health, Health::slow);
  EXPECT_EQ(at(5001ms).statusMessage,
            "No iPhone frames received for 5 seconds. Check that Screen Broadcast is still "
            "running.");
  const auto stale = at(6900ms);
  EXPECT_EQ(stale.health, Health::stale);
  EXPECT_EQ(stale.statusMessage,
            "No iPhone frames received for 6 seconds. Check that Screen Broadcast is still "
            "running.");
  EXPECT_NEAR(*stale.secondsSinceLastFrame, 6.9, 1e-9);
  // A clock set back reads as no time passed.
  EXPECT_EQ(at(-1000ms).secondsSinceLastFrame, 0.0);

  // A fresh frame still reads slow when the frames come too rarely.
  EXPECT_EQ(phoneHostStreamHealth(state, frameAt(arrival, 3.99), arrival).health, Health::slow);
  EXPECT_EQ(phoneHostStreamHealth(state, frameAt(arrival, 4.0), arrival).health, Health::live);
  EXPECT_EQ(phoneHostStreamHealth(state, frameAt(arrival, std::nullopt), arrival).health,
            Health::live);
}

}  // namespace
}  // namespace tavolin
