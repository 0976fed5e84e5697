// The hosted route on loopback: claimCommands + completeCommand round trips per second over a
// kept-alive connection, and how long a controller's signal takes to reach the agent through
// the event stream (median and p99). Starts its own control-plane server next to this binary.
// One JSON line per figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TavolinCore/ControlPlane/TavolinAPIClient.hpp"
#include "TavolinCore/ControlPlane/TavolinSignalEventStream.hpp"

#include "bench/BenchFigures.hpp"

extern char** environ;

namespace {

using namespace tavolin;
using Clock = std::chrono::steady_clock;

const int kRoundTrips = bench::benchCount(2000);
const int kSignals = bench::benchCount(500);

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * (values.size() - 1))];
}

// Starts the server on a free port and returns its pid and port.
std::pair<pid_t, std::string> startServer(const std::filesystem::path& binary,
                                          const std::filesystem::path& database) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0)
    std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  setenv("TAVOLIN_BOOTSTRAP_TOKEN", "bench-bootstrap", 1);
  std::string binaryText = binary.string(), databaseText = database.string();
  char* argv[] = {binaryText.data(),
                  const_cast<char*>("--listen"),
                  const_cast<char*>("127.0.0.1:0"),
                  const_cast<char*>("--database"),
                  databaseText.data(),
                  nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0)
    std::exit(1);
  close(pipeFds[1]);
  std::string text;
  char buffer[256];
  const std::regex ready("TAVOLIN_CONTROL_PLANE_READY port=(\\d+)");
  std::smatch match;
  while (!std::regex_search(text, match, ready)) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0)
      std::exit(1);
    text.append(buffer, n);
  }
  return {pid, match[1]};
}

}  // namespace

int main() {
  const auto binary = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
                      "tavolin-control-plane";
  const auto database = std::filesystem::temp_directory_path() /
                        ("tavolin-bench-" + std::to_string(getpid()) + ".sqlite3");
  const auto [pid, port] = startServer(binary, database);

  asio::io_context context;
  auto http = std::make_shared<HTTPClient>();
  const TavolinAPIClient api("http://127.0.0.1:" + port, http);
  auto run = asio::co_spawn(
      context,
      [&]() -> Awaitable<void> {
        const BootstrapOwnerPayload ownerPayload{.displayName = "Bench", .credentialLabel = "b"};
        const auto owner = co_await api.bootstrapOwner("bench-bootstrap", ownerPayload);
        const CreateControllerPayload controllerPayload{.name = "c", .platform = "bench"};
        // Named, not braced temporaries: GCC 12 mishandles those inside co_await operands.
        const OwnerToken ownerToken{owner.ownerToken};
        const auto controller = co_await api.createController(ownerToken, controllerPayload);
        const EnrollmentRequestPayload enrollmentPayload{.deviceName = "d", .platform = "linux"};
        const auto enrollment = co_await api.createEnrollmentRequest(enrollmentPayload);
        ApproveEnrollmentPayload approval;
        approval.code = enrollment.code;
        const ControllerToken approver{controller.controllerToken};
        const auto device = co_await api.approveEnrollment(approver, approval);
        const auto claim = co_await api.pollEnrollment(enrollment.request.id, enrollment.code);
        const std::string agentToken = claim.agentToken.value();
        CreateSessionPayload sessionPayload;
        sessionPayload.deviceId = device.device.id;
        sessionPayload.transportMode = "webrtc";
        const auto session = co_await api.createSession(controller.controllerToken, sessionPayload);
        const JSONObject metadata;
        co_await api.acceptSession(agentToken, session.session.id, metadata);

        const EnqueueCommandPayload noop{.type = "benchmark_noop", .payload = {}};
        const CompleteCommandPayload completion{.status = "succeeded", .result = {}};
        for (int i = 0; i < kRoundTrips; ++i) {
          co_await api.enqueueCommand(controller.controllerToken, session.session.id, noop);
        }
        const auto start = Clock::now();
        int completed = 0;
        while (completed < kRoundTrips) {
          const auto claimed = co_await api.claimCommands(agentToken, 1);
          if (claimed.commands.empty())
            break;
          co_await api.completeCommand(agentToken, claimed.commands[0].id, completion);
          ++completed;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "{\"benchmark\":\"control_plane_claim_complete\",\"round_trips\":%d,"
            "\"round_trips_per_s\":%.0f}\n",
            completed, completed / seconds);

        auto stream = TavolinSignalEventStream::events(
            co_await asio::this_coro::executor,
            api.agentSignalEventsRequest(agentToken, session.session.id, 0), http);
        co_await stream.next();  // ready
        const SignalPayload offer{.type = "offer", .payload = {{"sdp", "v=0"}}};
        std::vector<double> latencies;
        for (int i = 0; i < kSignals; ++i) {
          const auto sent = Clock::now();
          co_await api.sendControllerSignal(controller.controllerToken, session.session.id, offer);
          for (;;) {
            const auto event = co_await stream.next();
            if (!event)
              co_return;
            if (std::holds_alternative<TavolinSignalEvent::Signal>(event->value))
              break;
          }
          latencies.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        }
        std::printf(
            "{\"benchmark\":\"signal_delivery_event_stream\",\"signals\":%zu,\"p50_ms\":%.3f,"
            "\"p99_ms\":%.3f,\"goal_p50_ms\":5}\n",
            latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99));
      },
      asio::use_future);
  context.run();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::filesystem::remove(database);
  std::filesystem::remove(database.string() + "-wal");
  std::filesystem::remove(database.string() + "-shm");
  try {
    run.get();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_control_plane: %s\n", error.what());
    return 1;
  }
  return 0;
}
