// The hosted coordinator's memory over one simulated hour of idle polling, then ten simulated
// minutes with one live session, against the real control plane in this process on one
// io_context with a manual clock: each sleep of the loop moves the clock instead of waiting, so
// an hour of polls takes seconds. Heartbeats read the real window list of the private display
// given as the argument, and fallback frames are real captures of it. Prints, one JSON line
// each, the resident set at checkpoints, its growth, and the real time a simulated hour takes.
// The resident set is the whole process's, the control plane and its database included.
//   bench_hosted_coordinator <display>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <unistd.h>
#include <xcb/xcb.h>

#include "ControlPlaneServer/ControlPlaneServer.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Security/MemoryTokenStore.hpp"
#include "TavolinMacAgent/Coordinator/AgentCoordinator.hpp"
#include "TavolinMacAgent/Platform/Platform.hpp"
#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RecordingPublisher.hpp"

#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
using namespace std::chrono_literals;
using Duration = AgentCoordinator::Duration;
using State = AgentConnectionState;
using RealClock = std::chrono::steady_clock;

// The short run simulates three minutes idle and half a minute live.
const Duration idleSpan = std::chrono::minutes(bench::benchCount(60));
const Duration liveSpan = std::chrono::seconds(bench::benchCount(600));
// A pass that has not moved the clock for this long means the loop is stuck.
constexpr auto stallLimit = 30s;

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The control plane's database, removed on every way out.
std::filesystem::path scratch;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "bench_hosted_coordinator: %s\n", why.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  std::exit(1);
}

// Ordinary client windows, as applications map them, for the heartbeats to list.
class ClientWindows {
 public:
  ClientWindows(const std::string& display, int count) : x_(X11Connection::open(display)) {
    if (!x_)
      fail("cannot open display " + display);
    xcb_connection_t* c = x_->get();
    const auto pid = static_cast<std::uint32_t>(getpid());
    for (int index = 0; index < count; ++index) {
      const xcb_window_t window = xcb_generate_id(c);
      xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x_->root(),
                        static_cast<std::int16_t>(40 + 60 * index),
                        static_cast<std::int16_t>(40 + 60 * index), 640, 400, 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, x_->screen()->root_visual, 0, nullptr);
      const std::string wmClass = std::string("bench\0Bench\0", 12);
      const std::string title = "Bench window " + std::to_string(index + 1);
      titles.push_back(title);
      set(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.size(), wmClass.data());
      set(window, x_->atom("_NET_WM_NAME"), x_->atom("UTF8_STRING"), 8, title.size(), title.data());
      set(window, x_->atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
      xcb_map_window(c, window);
    }
    // A round trip: the windows are mapped before the first heartbeat looks.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  std::vector<std::string> titles;

 private:
  void set(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::uint8_t format,
           std::size_t length, const void* data) {
    xcb_change_property(x_->get(), XCB_PROP_MODE_REPLACE, window, property, type, format,
                        static_cast<std::uint32_t>(length), data);
  }
  std::shared_ptr<X11Connection> x_;
};

struct Checkpoint {
  Duration at;
  long residentKiB = 0;
};

double minutesOf(Duration duration) {
  return std::chrono::duration<double, std::ratio<60>>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    fail("usage: bench_hosted_coordinator <display>");
  const std::string display = argv[1];
  const ClientWindows windows(display, 3);

  asio::io_context context;
  const auto clock = std::make_shared<testing::ManualClock>();
  scratch = std::filesystem::temp_directory_path() /
            ("tavolin-bench-coordinator-" + std::to_string(getpid()));
  std::filesystem::create_directories(scratch);
  {
    ControlPlaneStore store(scratch / "cp.sqlite3", *clock);
    ControlPlaneServer server(context.get_executor(), store, *clock, ControlPlaneOptions{},
                              std::cerr, ControlPlaneServer::Limits{});
    const std::uint16_t port =
        server.listen(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));

    Environment environment = currentProcessEnvironment();
    environment["DISPLAY"] = display;
    const Platform platform = makeLinuxPlatform(context.get_executor(), environment);
    const auto tokens = std::make_shared<MemoryTokenStore>();

    // A recording publisher stands in for WebRTC: video is not what this measures, the polls,
    // heartbeats and fallback frames are.
    std::vector<std::shared_ptr<testing::RecordingPublisher>> publishers;
    SessionPublisherFactory factory;
    factory.webRTC = [&](const SessionPublisherRequest&) {
      publishers.push_back(std::make_shared<testing::RecordingPublisher>());
      return publishers.back();
    };

    int passes = 0;
    const auto coordinator = AgentCoordinator::make(
        {.mainExecutor = context.get_executor(),
         .api = TavolinAPIClient("http://127.0.0.1:" + std::to_string(port),
                                 std::make_shared<HTTPClient>()),
         .tokenStore = tokens,
         .identity = std::make_shared<const DeviceIdentity>(DeviceIdentity::loadOrCreate(*tokens)),
         .snapshotProvider = std::make_shared<MacSnapshotProvider>(MacSnapshotProvider::Platform{
             .workspace = platform.workspace,
             .windowList = platform.windowList,
             .browserTabs = platform.browserTabs,
             .systemInfo = platform.systemInfo,
             .screenCaptureAllowed = [capture =
                                          platform.screenCapture] { return capture->canCapture(); },
             .accessibilityTrusted = [input =
                                          platform.inputInjector] { return input->isTrusted(); },
             .phoneHostModeEnabled = [] { return false; }}),
         .commandExecutor = std::make_shared<CommandExecutor>(tokens, *clock),
         .screenFrameProvider = std::make_shared<ScreenFrameProvider>(platform.screenCapture,
                                                                      platform.displayGeometry),
         .systemInfo = platform.systemInfo,
         .publishers = std::move(factory),
         .clock = clock,
         .sleep = [&](Duration duration) -> Awaitable<void> {
           ++passes;
           clock->advance(duration);
           // Lets the server and the captures run before the next pass, as a timer would.
           co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
         }});
    int degraded = 0, heartbeats = 0, framesUploaded = 0;
    std::optional<Date> lastHeartbeat;
    coordinator->onStatusChange([&](const AgentRuntimeStatus& runtime) {
      if (const auto* state = runtime.connection.as<State::Degraded>()) {
        ++degraded;
        std::fprintf(stderr, "bench_hosted_coordinator: degraded: %s\n", state->message.c_str());
      }
      if (runtime.lastHeartbeatAt != lastHeartbeat) {
        lastHeartbeat = runtime.lastHeartbeatAt;
        ++heartbeats;
      }
      if (runtime.connection.as<State::Online>())
        framesUploaded += runtime.uploadedScreenFrames;
    });

    // Runs the loop until `done` holds, calling `onPass` after every handler; fails when the
    // clock stops moving.
    const auto runUntil = [&](const std::function<bool()>& done,
                              const std::function<void()>& onPass = {}) {
      Date lastNow = clock->now();
      auto lastMove = RealClock::now();
      while (!done()) {
        context.run_one_for(100ms);
        if (onPass)
          onPass();
        if (clock->now() != lastNow) {
          lastNow = clock->now();
          lastMove = RealClock::now();
        } else if (RealClock::now() - lastMove > stallLimit) {
          fail("the coordinator's loop stopped moving");
        }
      }
    };

    // Enrols by approving the code through the store, as an owner's controller would.
    const auto owner = store.bootstrapOwner({.displayName = "Bench", .credentialLabel = "bench"});
    const auto controller = store.createController(
        owner.owner.id, {.name = "Bench", .platform = "web", .publicKey = "-"});
    coordinator->start();
    runUntil([&] { return coordinator->status().connection.as<State::Pairing>() != nullptr; });
    ApproveEnrollmentPayload approval;
    approval.code = coordinator->status().connection.as<State::Pairing>()->code;
    const std::string deviceId = store.approveEnrollment(owner.owner.id, approval).id;
    runUntil([&] { return coordinator->status().connection.as<State::Online>() != nullptr; });

    // Runs one phase of `span`, noting the resident set at each mark it passes; prints the
    // checkpoints and the phase's pace.
    const auto phase = [&](const char* name, Duration span, std::vector<Duration> marks) {
      const Date start = clock->now();
      const int passesBefore = passes, heartbeatsBefore = heartbeats, framesBefore = framesUploaded;
      std::vector<Checkpoint> checkpoints;
      std::size_t next = 0;
      const auto realStart = RealClock::now();
      runUntil([&] { return clock->now() >= start + span; },
               [&] {
                 if (next < marks.size() && clock->now() >= start + marks[next])
                   checkpoints.push_back({marks[next++], residentKiB()});
               });
      const double realSeconds =
          std::chrono::duration<double>(RealClock::now() - realStart).count();
      if (next < marks.size())
        checkpoints.push_back({span, residentKiB()});
      for (const Checkpoint& checkpoint : checkpoints) {
        std::printf(
            "{\"figure\":\"hosted_coordinator_rss\",\"phase\":\"%s\","
            "\"simulatedMinutes\":%g,\"rssKiB\":%ld}\n",
            name, minutesOf(checkpoint.at), checkpoint.residentKiB);
      }
      std::printf(
          "{\"figure\":\"hosted_coordinator_pace\",\"phase\":\"%s\","
          "\"simulatedMinutes\":%g,\"passes\":%d,\"heartbeats\":%d,\"framesUploaded\":%d,"
          "\"realSeconds\":%.2f,\"realSecondsPerSimulatedHour\":%.2f}\n",
          name, minutesOf(span), passes - passesBefore, heartbeats - heartbeatsBefore,
          framesUploaded - framesBefore, realSeconds, realSeconds * 60 / minutesOf(span));
      std::fflush(stdout);
      return checkpoints;
    };

    // An hour with no session: polls every 250 ms, a heartbeat every 15 s.
    std::vector<Duration> idleMarks;
    for (const auto minute : {1min, 10min, 30min, 60min}) {
      if (minute < idleSpan)
        idleMarks.push_back(minute);
    }
    idleMarks.push_back(idleSpan);
    const int idlePasses = passes, idleHeartbeats = heartbeats;
    const auto idle = phase("idle", idleSpan, idleMarks);
    // From minute 10, once start-up allocations have settled; the short run has only minute 1.
    const auto settled =
        std::find_if(idle.begin(), idle.end(), [](const Checkpoint& c) { return c.at >= 10min; });
    const Checkpoint& from =
        settled != idle.end() && settled->at < idleSpan ? *settled : idle.front();
    std::printf(
        "{\"figure\":\"hosted_coordinator_rss_growth\",\"phase\":\"idle\","
        "\"fromMinute\":%g,\"toMinute\":%g,\"growthKiB\":%ld}\n",
        minutesOf(from.at), minutesOf(idle.back().at), idle.back().residentKiB - from.residentKiB);

    const int expectedIdlePasses = static_cast<int>(idleSpan / AgentCoordinator::idlePollInterval);
    const int expectedHeartbeats = static_cast<int>(idleSpan / AgentCoordinator::heartbeatInterval);
    if (passes - idlePasses < expectedIdlePasses * 9 / 10)
      fail("idle polls: " + std::to_string(passes - idlePasses) + " of " +
           std::to_string(expectedIdlePasses));
    if (heartbeats - idleHeartbeats < expectedHeartbeats * 9 / 10)
      fail("heartbeats: " + std::to_string(heartbeats - idleHeartbeats) + " of " +
           std::to_string(expectedHeartbeats));
    const auto snapshot = store.device(owner.owner.id, deviceId).snapshot;
    for (const std::string& title : windows.titles) {
      const bool listed =
          snapshot && std::any_of(snapshot->windows.begin(), snapshot->windows.end(),
                                  [&](const WindowInfo& window) { return window.title == title; });
      if (!listed)
        fail("the heartbeat does not list \"" + title + "\"");
    }

    // Then one live session: polls every 100 ms and a sealed fallback frame every second.
    const P256PrivateKey controllerKey = P256PrivateKey::generate();
    CreateSessionPayload session;
    session.deviceId = deviceId;
    session.transportMode = "webrtc";
    session.metadata.set("controllerPublicKey",
                         base64URLEncode(controllerKey.publicKey().rawRepresentation()));
    store.createSession({.kind = TokenKind::controller,
                         .subjectId = controller.controller.id,
                         .ownerId = owner.owner.id},
                        session);
    const int framesBefore = framesUploaded;
    // Growth from the first tenth on, once the first captures have set up their buffers.
    const auto live = phase("live_session", liveSpan, {0s, liveSpan / 10, liveSpan / 2, liveSpan});
    std::printf(
        "{\"figure\":\"hosted_coordinator_rss_growth\",\"phase\":\"live_session\","
        "\"fromMinute\":%g,\"toMinute\":%g,\"growthKiB\":%ld}\n",
        minutesOf(live[1].at), minutesOf(live.back().at),
        live.back().residentKiB - live[1].residentKiB);
    const int expectedFrames = static_cast<int>(liveSpan / AgentCoordinator::fallbackFrameInterval);
    if (publishers.size() != 1 || !publishers.front()->started)
      fail("the live session got no publisher");
    if (framesUploaded - framesBefore < expectedFrames * 9 / 10)
      fail("fallback frames: " + std::to_string(framesUploaded - framesBefore) + " of " +
           std::to_string(expectedFrames));
    if (degraded > 0)
      fail(std::to_string(degraded) + " degraded passes");

    // The server's connections refer to it until they end: run them out before it goes.
    // The observer counts into locals that go before the coordinator.
    coordinator->onStatusChange(nullptr);
    coordinator->emergencyStop();
    server.stop();
    context.restart();
    for (int turn = 0; turn < 100 && !context.stopped(); ++turn)
      context.run_for(100ms);
  }
  std::filesystem::remove_all(scratch);
  return 0;
}
