#include <csignal>
#include <regex>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;

// Runs the real agent binary in a private home with no Secret Service reachable.
class AgentStart : public ::testing::Test {
 protected:
  std::map<std::string, std::string> environment(std::map<std::string, std::string> extra = {}) {
    const auto home = temporary_.path().string();
    std::map<std::string, std::string> env{
        {"HOME", home},
        {"XDG_DATA_HOME", home + "/data"},
        {"XDG_CONFIG_HOME", home + "/config"},
        {"XDG_STATE_HOME", home + "/state"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home + "/no-bus"},
        {"TAVOLIN_MAC_UPDATE_MANIFEST_URL", "http://127.0.0.1:9/latest.json"}};
    extra.merge(env);
    return extra;
  }

  struct Announced {
    std::string fingerprint;
    std::string pairingCode;
    bool operator==(const Announced&) const = default;
  };

  // Starts the agent, reads what it announces up to its local server being ready, then stops it
  // with `signal`.
  Announced startAndStop(const std::map<std::string, std::string>& env, int signal,
                         std::vector<std::string>* otherLines = nullptr) {
    static const std::regex started(
        "TAVOLIN_AGENT_STARTED fingerprint=((?:[0-9a-f]{2}:){11}[0-9a-f]{2})");
    static const std::regex ready("TAVOLIN_LOCAL_NETWORK_READY port=[0-9]+ code=([0-9]{8})");
    testing::ChildProcess agent({TAVOLIN_AGENT_BINARY}, env);
    Announced announced;
    while (const auto line = agent.readErrorLine(20s)) {
      std::smatch match;
      if (std::regex_match(*line, match, started)) {
        announced.fingerprint = match[1];
      } else if (std::regex_match(*line, match, ready)) {
        announced.pairingCode = match[1];
        break;
      } else if (otherLines != nullptr) {
        otherLines->push_back(*line);
      }
    }
    EXPECT_FALSE(announced.fingerprint.empty()) << "no start line";
    EXPECT_FALSE(announced.pairingCode.empty()) << "no ready line";
    agent.signal(signal);
    EXPECT_EQ(agent.waitForExit(10s), 0);
    return announced;
  }

  testing::TemporaryDirectory temporary_;
};

TEST_F(AgentStart, AnnouncesTheSameFingerprintAndPairingCodeOnEveryStartAndExitsCleanly) {
  std::vector<std::string> lines;
  const Announced first = startAndStop(environment(), SIGTERM, &lines);
  ASSERT_EQ(first.fingerprint.size(), 35u);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("TAVOLIN_KEYCHAIN_UNAVAILABLE") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(startAndStop(environment(), SIGINT), first);
  EXPECT_TRUE(
      std::filesystem::exists(temporary_.path() / "data/tavolin/token-store/devicePrivateKey.txt"));
}

TEST_F(AgentStart, ExplicitTokenStoreDirectoryHoldsTheKeyPrivately) {
  const auto directory = temporary_.path() / "tokens";
  const Announced first =
      startAndStop(environment({{"TAVOLIN_TOKEN_STORE_DIR", directory.string()}}), SIGTERM);
  struct stat info {};
  ASSERT_EQ(stat((directory / "devicePrivateKey.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(directory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(startAndStop(environment({{"TAVOLIN_TOKEN_STORE_DIR", directory.string()}}), SIGTERM),
            first);
}

}  // namespace
}  // namespace tavolin
