#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeDisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/Fake/FakeInputInjector.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/SealingController.hpp"

namespace tavolin {
namespace {

using Event = FakeInputInjector::Event;

// Holds the queue inside the first warp until released, so that later messages pile up behind
// it; everything is forwarded to the recording fake.
class GatedInjector final : public InputInjector {
 public:
  explicit GatedInjector(std::shared_ptr<FakeInputInjector> inner) : inner_(std::move(inner)) {}

  bool isTrusted() override { return inner_->isTrusted(); }
  bool postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) override {
    return inner_->postKey(keyCode, down, modifiers);
  }
  bool typeText(std::string_view text) override { return inner_->typeText(text); }
  bool postMouse(MouseEventKind kind, MouseButton button, Point point, ModifierFlags modifiers,
                 int clickState) override {
    return inner_->postMouse(kind, button, point, modifiers, clickState);
  }
  bool postScroll(std::int32_t deltaX, std::int32_t deltaY) override {
    return inner_->postScroll(deltaX, deltaY);
  }
  std::optional<Point> cursorPosition() override { return inner_->cursorPosition(); }
  bool warpCursor(Point point) override {
    if (!entered_) {
      entered_ = true;
      held_.set_value();
      gate_.get_future().wait();
    }
    return inner_->warpCursor(point);
  }

  void waitUntilHeld() { held_.get_future().wait(); }
  void release() { gate_.set_value(); }

 private:
  std::shared_ptr<FakeInputInjector> inner_;
  bool entered_ = false;  // the queue's thread only
  std::promise<void> held_;
  std::promise<void> gate_;
};

class LowLatencyInputFastPathTest : public ::testing::Test {
 protected:
  // A data-channel message carrying an encrypted inner command of `innerType`.
  std::string message(const std::string& idempotencyKey, const std::string& innerType,
                      JSONObject innerPayload, bool expectsResult = false,
                      std::string innerSession = "S") {
    const TavolinPlainCommandEnvelope envelope{.type = innerType,
                                               .payload = std::move(innerPayload),
                                               .sessionId = std::move(innerSession),
                                               .commandId = idempotencyKey,
                                               .idempotencyKey = idempotencyKey,
                                               .sentAt = TavolinISO8601::string(clock.now())};
    const TavolinDirectCommandMessage outer{.commandId = idempotencyKey,
                                            .sessionId = "S",
                                            .commandType = "encrypted_command",
                                            .payload = controller.seal(encodeJSON(envelope), "S"),
                                            .idempotencyKey = idempotencyKey,
                                            .expectsResult = expectsResult,
                                            .sentAt = envelope.sentAt.value()};
    return encodeJSON(outer);
  }

  // The queue handles messages in order, so once a later marker scroll shows up every earlier
  // message has been handled (or dropped).
  std::vector<Event> eventsThroughMarker(int marker) {
    const Event expected{.type = FakeInputInjector::Type::scroll, .deltaY = marker};
    for (int attempt = 0; attempt < 500; ++attempt) {
      auto events = injector->events();
      if (!events.empty() && events.back() == expected) {
        events.pop_back();
        return events;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "marker " << marker << " never arrived";
    return {};
  }

  void sendMarker(int marker) {
    ASSERT_TRUE(fastPath.enqueueIfSupported(
        message("scroll-marker-" + std::to_string(marker), "scroll", {{"deltaY", marker}})));
  }

  std::shared_ptr<MemoryTokenStore> store = std::make_shared<MemoryTokenStore>();
  testing::ManualClock clock;
  std::shared_ptr<FakeInputInjector> injector = std::make_shared<FakeInputInjector>();
  const DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  const testing::SealingController controller{agent.publicKeyBase64URL()};
  LowLatencyInputFastPath fastPath{store, clock, injector,
                                   std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 800, 600})};
};

TEST_F(LowLatencyInputFastPathTest, TakesOnlyResultlessEncryptedMovesAndScrolls) {
  EXPECT_FALSE(fastPath.enqueueIfSupported("not json"));
  EXPECT_FALSE(fastPath.enqueueIfSupported(R"({"type":"ping","pingId":"p","sessionId":"S"})"));
  EXPECT_FALSE(fastPath.enqueueIfSupported(
      message("pointer_move-1", "pointer_move", {{"deltaX", 5}}, /*expectsResult=*/true)));
  EXPECT_FALSE(fastPath.enqueueIfSupported(message("click-1", "pointer_click", {})));
  auto plain = decodeJSON<TavolinDirectCommandMessage>(message("scroll-1", "scroll", {}));
  plain.commandType = "scroll";
  EXPECT_FALSE(fastPath.enqueueIfSupported(encodeJSON(plain)));
}

TEST_F(LowLatencyInputFastPathTest, MovesClampedAndInnerTypeDecides) {
  ASSERT_TRUE(fastPath.enqueueIfSupported(
      message("pointer_move-1", "pointer_move", {{"deltaX", 5000}, {"deltaY", -20}})));
  // The key says move but the inner command is a scroll: handled as the scroll it is.
  ASSERT_TRUE(fastPath.enqueueIfSupported(message("pointer_move-2", "scroll", {{"deltaX", 2}})));
  // Same prefix, but a click is never taken by this path: dropped.
  ASSERT_TRUE(fastPath.enqueueIfSupported(message("pointer_move-3", "pointer_click", {})));
  sendMarker(1);
  const auto events = eventsThroughMarker(1);
  // A move is a warp and a moved event at the clamped point.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].type, FakeInputInjector::Type::warp);
  EXPECT_EQ(events[1].type, FakeInputInjector::Type::mouse);
  EXPECT_EQ(events[1].point, (Point{799, 80}));
  EXPECT_EQ(events[2], (Event{.type = FakeInputInjector::Type::scroll, .deltaX = 2}));
}

TEST_F(LowLatencyInputFastPathTest, ReplaysForeignSessionsAndTamperingAreDroppedSilently) {
  const std::string move =
      message("pointer_move-7", "pointer_move", {{"deltaX", 1}, {"deltaY", 0}});
  ASSERT_TRUE(fastPath.enqueueIfSupported(move));
  ASSERT_TRUE(fastPath.enqueueIfSupported(move));  // replay
  ASSERT_TRUE(fastPath.enqueueIfSupported(
      message("pointer_move-8", "pointer_move", {{"deltaX", 1}, {"deltaY", 0}}, false, "OTHER")));
  auto tampered = decodeJSON<TavolinDirectCommandMessage>(
      message("pointer_move-9", "pointer_move", {{"deltaX", 1}, {"deltaY", 0}}));
  tampered.payload.set("senderPublicKey", "");
  ASSERT_TRUE(fastPath.enqueueIfSupported(encodeJSON(tampered)));
  sendMarker(2);
  EXPECT_EQ(eventsThroughMarker(2).size(), 2u);  // one move: warp and moved

  // Older than two minutes by the time it is handled.
  const std::string stale =
      message("pointer_move-10", "pointer_move", {{"deltaX", 1}, {"deltaY", 0}});
  clock.advance(std::chrono::seconds(121));
  ASSERT_TRUE(fastPath.enqueueIfSupported(stale));
  sendMarker(3);
  EXPECT_EQ(eventsThroughMarker(3).size(), 3u);  // the earlier move and marker only
}

// While the queue is behind, waiting moves go out as one summed move; a scroll in between
// keeps its place, so it lands where the moves before it left the pointer.
TEST_F(LowLatencyInputFastPathTest, MovesWaitingInTheQueueCoalesceAroundScrolls) {
  auto gated = std::make_shared<GatedInjector>(injector);
  LowLatencyInputFastPath gatedPath{store, clock, gated,
                                    std::make_shared<FakeDisplayGeometry>(Rect{0, 0, 800, 600})};
  const auto move = [&](const std::string& key, int deltaX, int deltaY) {
    ASSERT_TRUE(gatedPath.enqueueIfSupported(
        message("pointer_move-" + key, "pointer_move", {{"deltaX", deltaX}, {"deltaY", deltaY}})));
  };
  move("a", 10, 0);
  gated->waitUntilHeld();
  move("b", 1, 2);
  move("c", 3, 4);
  move("replayed", 1, 2);
  move("replayed", 1, 2);  // dropped as a replay, not summed twice
  ASSERT_TRUE(gatedPath.enqueueIfSupported(message("scroll-s", "scroll", {{"deltaY", -3}})));
  move("d", 5, 0);
  move("e", 0, 5);
  ASSERT_TRUE(gatedPath.enqueueIfSupported(message("scroll-marker", "scroll", {{"deltaY", 77}})));
  gated->release();

  const auto at = [](Point point) {
    return std::vector<Event>{
        {.type = FakeInputInjector::Type::warp, .point = point},
        FakeInputInjector::mouse(MouseEventKind::moved, MouseButton::left, point)};
  };
  std::vector<Event> expected = at({110, 100});
  for (const auto& event : at({115, 108}))
    expected.push_back(event);
  expected.push_back({.type = FakeInputInjector::Type::scroll, .deltaY = -3});
  for (const auto& event : at({120, 113}))
    expected.push_back(event);
  EXPECT_EQ(eventsThroughMarker(77), expected);
}

}  // namespace
}  // namespace tavolin
