// The agent binary on the hosted route against the control-plane binary on loopback, with a
// controller in Node (hosted-controller.mjs) sealing commands and opening frames with the web
// console's own crypto. The agent is watched through its status lines on standard error.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Security/TavolinKeyPinning.hpp"
#include "TavolinCore/Security/TavolinSessionCrypto.hpp"
#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "TavolinMacAgent/Platform/X11/X11Workspace.hpp"
#include "tests/TavolinMacAgent/Streaming/DecodedJPEG.hpp"
#include "tests/support/ControlPlaneProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/NodeDriver.hpp"
#include "tests/support/RunningAgent.hpp"
#include "tests/support/TemporaryDirectory.hpp"
#include "tests/support/XvfbServer.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

const std::regex kPairing("^TAVOLIN_AGENT_PAIRING code=([0-9]{8}) expiresAt=(\\S+)$");
const std::regex kOnline("^TAVOLIN_AGENT_ONLINE device=(.+)$");
const std::regex kDegraded("^TAVOLIN_AGENT_DEGRADED message=(.*)$");
const std::regex kStopped("^TAVOLIN_AGENT_STOPPED$");

// A status line can take an enrolment poll (4 s) or an error back-off (5 s) and a pass of an
// agent built with sanitizers on a busy machine.
constexpr auto kLineTimeout = 20s;

// The value under `key`, null when there is none.
JSONValue valueAt(const JSONObject& object, std::string_view key) {
  const JSONValue* value = object.find(key);
  return value ? *value : JSONValue();
}

struct OpenedFrame {
  ScreenFrame frame;
  Bytes jpeg;
};

// The controller's side, its answers decoded into the shared records. A refusal throws.
class HostedController {
 public:
  explicit HostedController(const std::string& baseURL) {
    driver_.call({{"op", "start"},
                  {"baseURL", baseURL},
                  {"bootstrapToken", testing::ControlPlaneProcess::bootstrapToken}});
  }

  Device approve(const std::string& code) {
    return decoded<DeviceResponse>({{"op", "approve"}, {"code", code}}).device;
  }
  void deny(const std::string& code) { driver_.call({{"op", "deny"}, {"code", code}}); }
  Device revoke(const std::string& deviceId) {
    return decoded<DeviceResponse>({{"op", "revoke"}, {"deviceId", deviceId}}).device;
  }
  DeviceDetailResponse device(const std::string& deviceId) {
    return decoded<DeviceDetailResponse>({{"op", "device"}, {"deviceId", deviceId}});
  }
  // With a fresh key pair, or the one session `keyOf` was created with.
  RemoteSession createSession(const std::string& deviceId, JSONObject metadata = {},
                              const std::string& keyOf = "") {
    return decoded<SessionResponse>({{"op", "createSession"},
                                     {"deviceId", deviceId},
                                     {"metadata", std::move(metadata)},
                                     {"keyOf", keyOf}})
        .session;
  }
  RemoteSession session(const std::string& sessionId) {
    return decoded<SessionResponse>({{"op", "session"}, {"sessionId", sessionId}}).session;
  }
  RemoteSession end(const std::string& sessionId, const std::string& reason) {
    return decoded<SessionResponse>({{"op", "end"}, {"sessionId", sessionId}, {"reason", reason}})
        .session;
  }
  // Sealed benchmark_noop commands carrying sequences first..last, queued in order.
  std::vector<RemoteCommand> enqueueNoops(const std::string& sessionId, int first, int last) {
    JSONArray commands;
    for (int sequence = first; sequence <= last; ++sequence)
      commands.push_back(
          JSONObject{{"type", "benchmark_noop"}, {"payload", JSONObject{{"sequence", sequence}}}});
    return decoded<CommandsResponse>(
               {{"op", "enqueue"}, {"sessionId", sessionId}, {"commands", std::move(commands)}})
        .commands;
  }
  std::vector<RemoteCommand> commands(const std::vector<RemoteCommand>& queued) {
    JSONArray ids;
    for (const RemoteCommand& command : queued)
      ids.push_back(command.id);
    return decoded<CommandsResponse>({{"op", "commands"}, {"ids", std::move(ids)}}).commands;
  }
  // Nothing until the agent has uploaded one.
  std::optional<OpenedFrame> latestFrame(const std::string& sessionId) {
    const JSONObject answer = driver_.answer({{"op", "frame"}, {"sessionId", sessionId}});
    const JSONValue jpegBase64 = valueAt(answer, "jpegBase64");
    if (valueAt(answer, "ok") != JSONValue(true) || !jpegBase64.string())
      return std::nullopt;
    const std::optional<Bytes> jpeg = base64Decode(*jpegBase64.string());
    return OpenedFrame{decodeJSONValue<ScreenFrameResponse>(JSONValue(answer)).frame,
                       jpeg.value_or(Bytes{})};
  }

 private:
  template <class Record>
  Record decoded(const JSONObject& request) {
    return decodeJSONValue<Record>(JSONValue(driver_.call(request)));
  }

  testing::NodeDriver driver_{TAVOLIN_SOURCE_DIR "/tests/support/hosted-controller.mjs", 30s};
};

std::string metadataText(const RemoteSession& session, std::string_view key) {
  const JSONValue value = valueAt(session.metadata, key);
  return value.string() ? *value.string() : std::string();
}

// Whether every command has been completed (or refused) by the agent.
bool allDone(const std::vector<RemoteCommand>& commands) {
  return std::all_of(commands.begin(), commands.end(),
                     [](const RemoteCommand& command) { return command.completedAt.has_value(); });
}

// Commands carrying sequences first.. in order: each succeeded with its own sequence, through
// the encrypted path, completed in the order queued.
void expectNoopsCompletedInOrder(const std::vector<RemoteCommand>& commands, int first) {
  for (std::size_t index = 0; index < commands.size(); ++index) {
    const RemoteCommand& command = commands[index];
    SCOPED_TRACE("sequence " + std::to_string(first + static_cast<int>(index)));
    EXPECT_EQ(command.status, "succeeded");
    ASSERT_TRUE(command.result && command.completedAt);
    EXPECT_EQ(valueAt(*command.result, "sequence"), JSONValue(first + static_cast<int>(index)));
    EXPECT_EQ(valueAt(*command.result, "encrypted"), JSONValue(true));
    if (index > 0) {
      EXPECT_LE(*commands[index - 1].completedAt, *command.completedAt);
    }
  }
}

class HostedRoute : public testing::XvfbSuite {
 protected:
  void SetUp() override {
    controlPlane_.start();
    controller_ = std::make_unique<HostedController>(controlPlane_.baseURL());
  }

  void TearDown() override {
    if (!HasFailure() || !agent_)
      return;
    agent_->remainingErrorOutput(300ms);
    std::cerr << "agent standard error:\n";
    for (const std::string& line : agent_->process().errorLines())
      std::cerr << line << "\n";
  }

  // Starts the agent on this control plane; the pairing code it shows.
  std::string startAgent() {
    agent_ = std::make_unique<testing::RunningAgent>(
        *display, home_,
        std::map<std::string, std::string>{{"TAVOLIN_API_URL", controlPlane_.baseURL()},
                                           {"TAVOLIN_PAIRING_CODE_FILE", codeFile().string()}});
    return awaitPairingCode();
  }

  std::string awaitPairingCode() {
    const auto pairing = agent_->awaitLine(kPairing, kLineTimeout);
    if (!pairing)
      throw std::runtime_error("no pairing code shown");
    EXPECT_TRUE(TavolinISO8601::date((*pairing)[2])) << (*pairing)[2];
    return (*pairing)[1];
  }

  // Approves `code` and waits until the agent is online; the approved device.
  Device approve(const std::string& code) {
    const Device device = controller_->approve(code);
    const auto online = agent_->awaitLine(kOnline, kLineTimeout);
    if (!online)
      throw std::runtime_error("not online after approval");
    EXPECT_EQ((*online)[1], device.name);
    return device;
  }

  Device pairAgent() { return approve(startAgent()); }

  // Whether the code file holds `code` (it is written off the agent's main thread).
  bool codeFileHolds(const std::string& code) const {
    return eventually([&] { return readFileIfExists(codeFile()) == code + "\n"; });
  }

  // A session of `deviceId` once the agent has accepted it.
  RemoteSession acceptedSession(const std::string& deviceId, JSONObject metadata = {},
                                const std::string& keyOf = "") {
    RemoteSession session = controller_->createSession(deviceId, std::move(metadata), keyOf);
    EXPECT_TRUE(eventually([&] {
      session = controller_->session(session.id);
      return session.status == "active";
    })) << "session status "
        << session.status;
    return session;
  }

  std::vector<RemoteCommand> completed(const std::vector<RemoteCommand>& queued) {
    std::vector<RemoteCommand> commands;
    EXPECT_TRUE(eventually([&] { return allDone(commands = controller_->commands(queued)); }));
    return commands;
  }

  // Stops the agent as the user's session would and reads it to the end: every line it wrote.
  std::vector<std::string> stopAgent() {
    agent_->process().signal(SIGTERM);
    EXPECT_EQ(agent_->process().waitForExit(30s), 0);
    agent_->remainingErrorOutput(1s);
    return agent_->process().errorLines();
  }

  std::filesystem::path codeFile() const { return home_.path() / "pairing-code"; }

  testing::TemporaryDirectory home_;
  testing::ControlPlaneProcess controlPlane_;
  std::unique_ptr<HostedController> controller_;
  std::unique_ptr<testing::RunningAgent> agent_;
};

std::size_t linesMatching(const std::vector<std::string>& lines, const std::regex& pattern) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return std::regex_search(line, pattern); });
}

TEST_F(HostedRoute, WalkThrough_ServesASessionRefusesAChangedKeyAndStopsOnSignal) {
  // An application on screen, listed before the agent's first heartbeat looks.
  display->startWindowManager();
  testing::ChildProcess xterm({"xterm"}, {{"DISPLAY", display->displayName()}});
  const auto isXterm = [&](const auto& app) { return app.processIdentifier == xterm.pid(); };
  X11Workspace workspace(std::make_shared<X11DisplayConnector>(display->displayName()),
                         std::make_shared<DesktopEntryCatalog>(Environment{}));
  ASSERT_TRUE(
      eventually([&] { return std::ranges::any_of(workspace.runningApplications(), isXterm); }));

  const std::string code = startAgent();
  EXPECT_TRUE(codeFileHolds(code));
  const Device device = approve(code);

  // The first heartbeat: the system, what runs, and only the video path this build serves.
  DeviceDetailResponse detail;
  EXPECT_TRUE(
      eventually([&] { return (detail = controller_->device(device.id)).snapshot.has_value(); }));
  ASSERT_TRUE(detail.snapshot);
  EXPECT_TRUE(std::ranges::any_of(detail.snapshot->runningApps, isXterm));
  EXPECT_TRUE(detail.device.osVersion && !detail.device.osVersion->empty());
  EXPECT_EQ(detail.device.agentVersion, "0.1.0");
  const JSONObject& capabilities = detail.device.capabilities;
  EXPECT_EQ(valueAt(capabilities, "videoTransports"), JSONValue::strings({"webrtc"}));
  EXPECT_EQ(valueAt(capabilities, "experimentalVideoTransports"), JSONValue::strings({}));
  EXPECT_EQ(valueAt(capabilities, "nativeVideoCodecs"), JSONValue::strings({}));

  // "auto" asks for the native path; this build answers with WebRTC.
  const RemoteSession session =
      acceptedSession(device.id, JSONObject{{"requestedVideoTransport", " AUTO "}});
  const JSONObject accepted{
      {"selectedTransport", "hybrid"},        {"requestedVideoTransport", "auto"},
      {"videoTransport", "webrtc"},           {"videoTransportFallback", "webrtc"},
      {"nativeVideoToolboxAvailable", false}, {"nativeVideoCodecs", JSONValue::strings({})},
      {"screenFrameIntervalSeconds", 1},      {"agentVersion", "0.1.0"}};
  for (const auto& [key, value] : accepted)
    EXPECT_EQ(valueAt(session.metadata, key), value) << key;

  // The fallback frame, sealed for this controller's key: the whole display as a JPEG.
  std::optional<OpenedFrame> opened;
  ASSERT_TRUE(
      eventually([&] { return (opened = controller_->latestFrame(session.id)).has_value(); }));
  const ScreenFrame& frame = opened->frame;
  EXPECT_EQ(frame.format, "jpeg+a256gcm");
  EXPECT_EQ(frame.contentFormat, "jpeg");
  EXPECT_EQ(frame.encryption, "p256-hkdf-sha256-aes-gcm");
  EXPECT_EQ(frame.byteLength,
            static_cast<std::int64_t>(opened->jpeg.size() + TavolinSessionCrypto::sealedOverhead));
  ASSERT_GT(opened->jpeg.size(), 4u);
  EXPECT_EQ(opened->jpeg[0], 0xFF);
  EXPECT_EQ(opened->jpeg[1], 0xD8);
  EXPECT_EQ(opened->jpeg[opened->jpeg.size() - 2], 0xFF);
  EXPECT_EQ(opened->jpeg.back(), 0xD9);
  const auto picture = testing::DecodedJPEG::fromBytes(opened->jpeg);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, frame.width);
  EXPECT_EQ(picture->height, frame.height);
  EXPECT_LE(std::max(frame.width, frame.height), 1280);
  EXPECT_EQ(frame.displayWidth, 1280);
  EXPECT_EQ(frame.displayHeight, 800);

  // More than one claim's worth of sealed commands, each run once and in order.
  const auto commands = completed(controller_->enqueueNoops(session.id, 1, 30));
  ASSERT_EQ(commands.size(), 30u);
  expectNoopsCompletedInOrder(commands, 1);

  // The controller leaves; the loop goes on and accepts the next session of the same key.
  EXPECT_EQ(controller_->end(session.id, "user_closed").status, "ended");
  const RemoteSession trusted = acceptedSession(device.id, {}, session.id);

  // The same controller with another key: refused, and the user is told why.
  RemoteSession changed = controller_->createSession(device.id);
  EXPECT_TRUE(
      eventually([&] { return (changed = controller_->session(changed.id)).endedAt.has_value(); }));
  EXPECT_EQ(metadataText(changed, "endReason"), "controller_public_key_mismatch");
  const auto blocked = agent_->awaitLine(kDegraded, kLineTimeout);
  ASSERT_TRUE(blocked);
  EXPECT_EQ((*blocked)[1],
            "Security block: Peer " + trusted.controllerId + " public key changed from " +
                TavolinKeyPinning::fingerprint(metadataText(trusted, "controllerPublicKey")) +
                " to " +
                TavolinKeyPinning::fingerprint(metadataText(changed, "controllerPublicKey")) + ".");
  ASSERT_TRUE(agent_->awaitLine(kOnline, kLineTimeout));
  EXPECT_EQ(controller_->session(trusted.id).status, "active");

  // SIGUSR1 ends the live session on the control plane; SIGUSR2 starts the route again.
  agent_->process().signal(SIGUSR1);
  ASSERT_TRUE(agent_->awaitLine(kStopped, kLineTimeout));
  RemoteSession stopped = trusted;
  EXPECT_TRUE(
      eventually([&] { return (stopped = controller_->session(trusted.id)).endedAt.has_value(); }));
  EXPECT_EQ(metadataText(stopped, "endReason"), "emergency_stop");
  agent_->process().signal(SIGUSR2);
  ASSERT_TRUE(agent_->awaitLine(kOnline, kLineTimeout));

  // Nothing else went wrong on the way: online once paired, after the block and after SIGUSR2.
  const std::vector<std::string> lines = stopAgent();
  EXPECT_EQ(linesMatching(lines, kOnline), 3u);
  EXPECT_EQ(linesMatching(lines, kDegraded), 1u);
}

TEST_F(HostedRoute, ControlPlaneKilledAndRestarted_AgentRecoversAndCompletesEachCommandOnce) {
  const Device device = pairAgent();
  const RemoteSession session = acceptedSession(device.id);
  const auto before = completed(controller_->enqueueNoops(session.id, 1, 5));
  expectNoopsCompletedInOrder(before, 1);

  EXPECT_EQ(controlPlane_.stop(SIGKILL), -1);
  ASSERT_TRUE(agent_->awaitLine(kDegraded, kLineTimeout));
  controlPlane_.start();
  // Back within one back-off of the restart, by the same process.
  ASSERT_TRUE(agent_->awaitLine(kOnline, kLineTimeout));
  EXPECT_FALSE(agent_->process().waitForExit(0ms));

  const auto after = completed(controller_->enqueueNoops(session.id, 6, 10));
  expectNoopsCompletedInOrder(after, 6);
  EXPECT_EQ(controller_->commands(before), before);
  const std::vector<std::string> lines = stopAgent();
  EXPECT_EQ(linesMatching(lines, std::regex("command_not_claimed")), 0u);
}

TEST_F(HostedRoute, EnrolmentDeniedThenDeviceRevoked_AgentPairsAgainThenReportsTheRefusal) {
  const std::string refused = startAgent();
  controller_->deny(refused);
  const auto denied = agent_->awaitLine(kDegraded, kLineTimeout);
  ASSERT_TRUE(denied);
  EXPECT_EQ((*denied)[1], "Enrollment is denied. Start pairing again.");
  // After the back-off, a fresh request with a code of its own, shown and written again.
  const std::string code = awaitPairingCode();
  EXPECT_NE(code, refused);
  EXPECT_TRUE(codeFileHolds(code));

  const Device device = approve(code);
  EXPECT_EQ(controller_->revoke(device.id).status, "revoked");
  const auto revoked = agent_->awaitLine(kDegraded, kLineTimeout);
  ASSERT_TRUE(revoked);
  EXPECT_EQ((*revoked)[1], R"(HTTP 401: {"error":"unauthorized"})");
}

}  // namespace
}  // namespace tavolin
