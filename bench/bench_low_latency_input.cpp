// Pointer moves through the low-latency input path at a controller's pace of 1000 a second for
// five seconds, injected into a real X display by the agent's own platform objects: once with
// the live video's capture (60 fps, 1280x720, I420) running on the same display, and once
// without as the baseline. One JSON line per run. A move's latency runs from the call that
// queues it to the end of the moved event that carried it (moves that waited behind one
// another go out as one). The display is the first argument (scripts/run-benchmarks starts a
// private Xvfb for it).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Security/DeviceIdentity.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinCore/Streaming/TavolinDataChannel.hpp"
#include "TavolinMacAgent/Commands/LowLatencyInputFastPath.hpp"
#include "TavolinMacAgent/Platform/Platform.hpp"
#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/ScreenStreamQuality.hpp"

#include "bench/BenchController.hpp"
#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
using Stopwatch = std::chrono::steady_clock;
using bench::Figures;
using bench::figuresOf;

constexpr int kMovesPerSecond = 1000;
const int kMoves = bench::benchCount(5 * kMovesPerSecond);
constexpr auto kPace = std::chrono::microseconds(1'000'000 / kMovesPerSecond);
// How long the last moves may take to land before the ones missing count as lost.
constexpr auto kSettle = std::chrono::seconds(5);
constexpr PixelSize kVideoSize{1280, 720};

double millisecondsBetween(Stopwatch::time_point from, Stopwatch::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Forwards every call to the real injector and notes where and when each move's moved event
// was posted, the last step of a pointer move.
class MoveRecordingInjector final : public InputInjector {
 public:
  struct Finished {
    Point point;
    Stopwatch::time_point at;
  };

  explicit MoveRecordingInjector(std::shared_ptr<InputInjector> inner) : inner_(std::move(inner)) {}

  bool isTrusted() override { return inner_->isTrusted(); }
  bool postKey(std::uint16_t keyCode, bool down, ModifierFlags modifiers) override {
    return inner_->postKey(keyCode, down, modifiers);
  }
  bool typeText(std::string_view text) override { return inner_->typeText(text); }
  bool postMouse(MouseEventKind kind, MouseButton button, Point point, ModifierFlags modifiers,
                 int clickState) override {
    const bool posted = inner_->postMouse(kind, button, point, modifiers, clickState);
    if (posted && kind == MouseEventKind::moved) {
      const auto at = Stopwatch::now();
      std::lock_guard lock(mutex_);
      finished_.push_back({point, at});
      changed_.notify_all();
    }
    return posted;
  }
  bool postScroll(std::int32_t deltaX, std::int32_t deltaY) override {
    return inner_->postScroll(deltaX, deltaY);
  }
  std::optional<Point> cursorPosition() override { return inner_->cursorPosition(); }
  bool warpCursor(Point point) override { return inner_->warpCursor(point); }

  // The moved events so far, once one reached `last` or none came for `quiet`.
  std::vector<Finished> waitFor(Point last, std::chrono::seconds quiet) {
    std::unique_lock lock(mutex_);
    const auto arrived = [&] { return !finished_.empty() && finished_.back().point == last; };
    for (std::size_t seen = 0; !arrived(); seen = finished_.size()) {
      if (!changed_.wait_for(lock, quiet, [&] { return finished_.size() != seen; }))
        break;
    }
    return finished_;
  }

 private:
  std::shared_ptr<InputInjector> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Finished> finished_;
};

// A zigzag over the display, 7 pixels a move across and 3 down. Odd steps never land on the
// coordinate they left, so no move has an empty delta; the margin keeps every move unclamped.
Point walkPosition(int index, const Rect& display) {
  constexpr int kMargin = 16;
  const auto along = [](int travelled, double extent) {
    const int span = static_cast<int>(extent) - 2 * kMargin;
    const int phase = travelled % (2 * span);
    return kMargin + (phase <= span ? phase : 2 * span - phase);
  };
  return {display.x + along(index * 7, display.width),
          display.y + along(index * 3, display.height)};
}

// The "tavolin.input" message of move `index` exactly as the web console sends it: a sealed
// envelope under a fresh id, keyed "pointer_move-<id>", wanting no result.
std::string pointerMoveMessage(const bench::BenchController& controller, int index,
                               const Rect& display) {
  const Point from = walkPosition(index, display);
  const Point to = walkPosition(index + 1, display);
  const std::string id = makeIdentifier("");
  const std::string sentAt = TavolinISO8601::string(std::chrono::system_clock::now());
  const TavolinPlainCommandEnvelope envelope{
      .type = "pointer_move",
      .payload = {{"deltaX", to.x - from.x}, {"deltaY", to.y - from.y}},
      .sessionId = controller.sessionId(),
      .commandId = id,
      .idempotencyKey = id,
      .sentAt = sentAt};
  const TavolinDirectCommandMessage message{
      .commandId = id,
      .sessionId = controller.sessionId(),
      .commandType = std::string(TavolinSessionCrypto::encryptedCommandType),
      .payload = controller.seal(encodeJSON(envelope)),
      .idempotencyKey = "pointer_move-" + id,
      .expectsResult = false,
      .sentAt = sentAt};
  return encodeJSON(message);
}

// The live video's capture settings as the WebRTC publisher builds them for a 720p stream with
// the default tuning.
LiveScreenCaptureSettings liveVideoSettings(const WebRTCTuning& tuning) {
  return {.framesPerSecond = static_cast<double>(tuning.targetFramesPerSecond),
          .targetSize =
              [](PixelSize display) {
                return ScreenStreamQualities::captureSize(ScreenStreamQuality::p720, display);
              },
          .pixelFormat = LiveScreenPixelFormat::i420};
}

// The live video's capture on the same display, its frames taken and dropped as they come, so
// that grabbing, scaling and conversion compete with the moves for the CPU and the display.
class VideoLoad {
 public:
  explicit VideoLoad(std::shared_ptr<ScreenCapture> capture)
      : capture_(std::move(capture), liveVideoSettings(tuning_), tuning_.captureQueueDepth) {}

  ~VideoLoad() {
    capture_.stop();
    if (consumer_.joinable())
      consumer_.join();
  }

  // Starts the capture and waits for its first frame; false when it is not a 1280x720 I420
  // frame, so a figure is never printed for a load that did not run.
  bool start() {
    capture_.start();
    const auto first = capture_.waitForFrame(std::chrono::seconds(5));
    if (!first || first->size != kVideoSize || first->pixelFormat != LiveScreenPixelFormat::i420)
      return false;
    consumer_ = std::thread([this] {
      while (capture_.isRunning())
        capture_.waitForFrame(std::chrono::milliseconds(100));
    });
    return true;
  }

  std::int64_t captured() const { return capture_.counters().captured; }

 private:
  const WebRTCTuning tuning_;
  LiveScreenCapture capture_;
  std::thread consumer_;
};

struct MoveRun {
  int processed = 0;
  int injected = 0;  // moved events: fewer than the moves when some were coalesced
  double movesPerSecond = 0;
  std::optional<Figures> latency;              // only when every move landed where it should
  std::optional<double> videoFramesPerSecond;  // with the video load only
};

// Sends the moves at the pace through a fresh fast path and collects what became of them.
// Nothing when the run could not be measured (the reason is on stderr).
std::optional<MoveRun> runMoves(Platform& platform, const Rect& display, bool withVideo) {
  auto store = std::make_shared<MemoryTokenStore>();
  const DeviceIdentity agent = DeviceIdentity::loadOrCreate(*store);
  const bench::BenchController controller(agent.publicKeyBase64URL(), makeIdentifier("session_"));
  // Sealed ahead: the controller's sealing is the browser's work, not the agent's.
  std::vector<std::string> messages;
  messages.reserve(kMoves);
  for (int i = 0; i < kMoves; ++i)
    messages.push_back(pointerMoveMessage(controller, i, display));

  auto injector = std::make_shared<MoveRecordingInjector>(platform.inputInjector);
  if (!injector->warpCursor(walkPosition(0, display))) {
    std::fprintf(stderr, "cannot move the pointer to its start\n");
    return std::nullopt;
  }
  SystemClock clock;
  LowLatencyInputFastPath fastPath(store, clock, injector, platform.displayGeometry);
  std::optional<VideoLoad> video;
  if (withVideo && !video.emplace(platform.screenCapture).start()) {
    std::fprintf(stderr, "the live capture gives no %dx%d I420 frames\n", kVideoSize.width,
                 kVideoSize.height);
    return std::nullopt;
  }

  std::vector<Stopwatch::time_point> enqueued(kMoves);
  const std::int64_t framesBefore = video ? video->captured() : 0;
  const auto start = Stopwatch::now();
  for (int i = 0; i < kMoves; ++i) {
    std::this_thread::sleep_until(start + i * kPace);
    enqueued[i] = Stopwatch::now();
    if (!fastPath.enqueueIfSupported(messages[i])) {
      std::fprintf(stderr, "the fast path refused move %d\n", i);
      return std::nullopt;
    }
  }
  MoveRun run;
  if (video) {
    const double seconds = std::chrono::duration<double>(Stopwatch::now() - start).count();
    run.videoFramesPerSecond = static_cast<double>(video->captured() - framesBefore) / seconds;
  }
  // Moves that waited behind one another land as one: each moved event settles every move up
  // to the one whose end point it reached.
  const auto finished = injector->waitFor(walkPosition(kMoves, display), kSettle);
  run.injected = static_cast<int>(finished.size());
  std::vector<double> latencies;
  latencies.reserve(kMoves);
  for (const auto& event : finished) {
    int reached = run.processed;
    while (reached < kMoves && walkPosition(reached + 1, display) != event.point)
      ++reached;
    if (reached == kMoves) {
      std::fprintf(stderr, "a move ended at %.0f,%.0f, not on the path\n", event.point.x,
                   event.point.y);
      return std::nullopt;
    }
    for (; run.processed <= reached; ++run.processed)
      latencies.push_back(millisecondsBetween(enqueued[run.processed], event.at));
  }
  if (finished.empty())
    return run;
  run.movesPerSecond =
      run.processed / (millisecondsBetween(enqueued.front(), finished.back().at) / 1000);
  if (run.processed != kMoves)
    return run;
  if (injector->cursorPosition() != walkPosition(kMoves, display)) {
    std::fprintf(stderr, "the X pointer is not where the last move put it\n");
    return std::nullopt;
  }
  run.latency = figuresOf(std::move(latencies));
  return run;
}

// One line of a run's figures. The latency is left out unless every move landed, and so is the
// comparison with a baseline.
void printRun(const char* name, const char* load, const Rect& display, const MoveRun& run,
              const MoveRun* baseline = nullptr) {
  std::printf(
      "{\"benchmark\":\"%s\",\"display\":\"%.0fx%.0f\",\"load\":\"%s\",\"pace_per_s\":%d,"
      "\"moves\":%d,\"processed\":%d,\"not_processed\":%d,\"moved_events\":%d,"
      "\"processed_per_s\":%.1f,"
      "\"goal_per_s\":%d,\"ratio_to_goal\":%.3f",
      name, display.width, display.height, load, kMovesPerSecond, kMoves, run.processed,
      kMoves - run.processed, run.injected, run.movesPerSecond, kMovesPerSecond,
      run.movesPerSecond / kMovesPerSecond);
  if (run.latency)
    std::printf(",\"median_ms\":%.3f,\"p95_ms\":%.3f", run.latency->median, run.latency->p95);
  if (run.videoFramesPerSecond)
    std::printf(",\"video_fps\":%.1f", *run.videoFramesPerSecond);
  if (baseline != nullptr && run.latency && baseline->latency) {
    std::printf(
        ",\"baseline\":\"no video load\",\"baseline_median_ms\":%.3f,\"baseline_p95_ms\":%.3f,"
        "\"median_ratio_to_baseline\":%.2f",
        baseline->latency->median, baseline->latency->p95,
        run.latency->median / baseline->latency->median);
  }
  std::printf("}\n");
  std::fflush(stdout);
}

bool everyMoveProcessed(const char* name, const MoveRun& run) {
  if (run.latency)
    return true;
  std::fprintf(stderr, "%s: %d of %d moves were not processed\n", name, kMoves - run.processed,
               kMoves);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf(
        "{\"benchmark\":\"low_latency_pointer_moves\",\"skipped\":\"needs a display argument; "
        "scripts/run-benchmarks starts a private Xvfb\"}\n");
    return 0;
  }
  asio::io_context mainContext;
  Platform platform = makeLinuxPlatform(mainContext.get_executor(), {{"DISPLAY", argv[1]}});
  const auto display = platform.displayGeometry->mainDisplayBounds();
  if (!display || !platform.inputInjector->isTrusted()) {
    std::fprintf(stderr, "display %s cannot be reached or takes no synthetic input\n", argv[1]);
    return 1;
  }

  const auto baseline = runMoves(platform, *display, false);
  if (!baseline)
    return 1;
  printRun("low_latency_pointer_moves_unloaded", "none", *display, *baseline);

  const auto loaded = runMoves(platform, *display, true);
  if (!loaded)
    return 1;
  printRun("low_latency_pointer_moves", "live capture 60 fps 1280x720 i420", *display, *loaded,
           &*baseline);
  const bool baselineProcessed = everyMoveProcessed("unloaded", *baseline);
  const bool loadedProcessed = everyMoveProcessed("loaded", *loaded);
  return baselineProcessed && loadedProcessed ? 0 : 1;
}
