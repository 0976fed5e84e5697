#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "TavolinMacAgent/Platform/Linux/AvahiServiceAdvertiser.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::runProcess;
using testing::TemporaryDirectory;
using Kind = ServiceAdvertiserEvent::Kind;

// avahi-browse writes bytes outside letters and digits as "\DDD" (decimal).
std::string unescapeBrowseField(const std::string& field) {
  std::string result;
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size() &&
        std::isdigit(static_cast<unsigned char>(field[at + 1]))) {
      result.push_back(static_cast<char>(std::stoi(field.substr(at + 1, 3))));
      at += 3;
    } else {
      result.push_back(field[at]);
    }
  }
  return result;
}

struct BrowsedService {
  std::string name;
  std::string port;
  std::string txt;
};

// A private system bus in a temporary directory with an Avahi daemon that can be started and
// stopped on it. libdbus reads DBUS_SYSTEM_BUS_ADDRESS once per process, so the whole suite
// shares one address; each test starts its own bus there.
class AvahiServiceAdvertiserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new TemporaryDirectory();
    busAddress_ = new std::string("unix:path=" + (directory_->path() / "system_bus").string());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_->c_str(), 1);
    std::ofstream(directory_->path() / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>"
        << *busAddress_
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>\n";
    std::ofstream(directory_->path() / "avahi.conf")
        << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
           "[wide-area]\nenable-wide-area=no\n"
           "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
  }

  static void TearDownTestSuite() {
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    delete busAddress_;
    delete directory_;
  }

  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "avahi-daemon writes its pid file and socket under /run/avahi-daemon, "
                      "which needs root";
    // One daemon per machine (its pid file is fixed): tests run in parallel take turns.
    lockFd_ = ::open("/tmp/tavolin-avahi-daemon-test.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(lockFd_, 0);
    ASSERT_EQ(::flock(lockFd_, LOCK_EX), 0);
    if (runProcess({"avahi-daemon", "--check"}).exitCode == 0)
      GTEST_SKIP() << "an avahi-daemon already runs on this machine";
    startBus();
  }

  void TearDown() override {
    advertisers_.clear();
    daemon_.reset();
    bus_.reset();
    if (lockFd_ >= 0)
      ::close(lockFd_);
  }

  void startBus() {
    std::filesystem::remove(directory_->path() / "system_bus");
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=2",
                                 "--config-file=" + (directory_->path() / "bus.conf").string()});
    while (auto line = bus_->readErrorLine(10s)) {
      if (line->starts_with("unix:"))
        return;
    }
    FAIL() << "dbus-daemon did not start";
  }

  void startDaemon() {
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits",
                                 "-f", (directory_->path() / "avahi.conf").string()});
    // Ready once it owns its name on the bus, which comes after its own startup message.
    ASSERT_TRUE(testing::eventually([] {
      return runProcess({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                         "string:org.freedesktop.Avahi"})
                 .standardOutput.find("boolean true") != std::string::npos;
    })) << "avahi-daemon did not come up on the bus";
  }

  void stopDaemon() {
    daemon_->signal(SIGTERM);
    ASSERT_TRUE(daemon_->waitForExit(20s));
    daemon_.reset();
  }

  AvahiServiceAdvertiser& makeAdvertiser() {
    advertisers_.push_back(std::make_unique<AvahiServiceAdvertiser>(main_.get_executor()));
    return *advertisers_.back();
  }

  ServiceAdvertiser::EventHandler recordInto(std::vector<ServiceAdvertiserEvent>& events) {
    return [&events](const ServiceAdvertiserEvent& event) { events.push_back(event); };
  }

  // Runs the main executor until `events` holds `count` events (bounded, so a lost event fails
  // the test rather than hanging it).
  void runUntil(const std::vector<ServiceAdvertiserEvent>& events, std::size_t count) {
    for (int round = 0; round < 300 && events.size() < count; ++round)
      main_.run_for(100ms);
  }

  std::vector<BrowsedService> browse() {
    const auto result = runProcess({"avahi-browse", "-rtp", "_tavolin._tcp"}, {}, {}, 30s);
    std::vector<BrowsedService> services;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, ';');)
        fields.push_back(field);
      // =;interface;protocol;name;type;domain;host;address;port;txt
      if (fields.size() >= 10 && fields[0] == "=")
        services.push_back({unescapeBrowseField(fields[3]), fields[8], fields[9]});
    }
    return services;
  }

  ServiceAdvertisement advertisement(std::string name) {
    return {std::move(name), "_tavolin._tcp", 4567, {{"version", "1"}, {"platform", "linux"}}};
  }

  static inline TemporaryDirectory* directory_ = nullptr;
  static inline std::string* busAddress_ = nullptr;
  int lockFd_ = -1;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> daemon_;
  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{main_.get_executor()};
  std::vector<std::unique_ptr<AvahiServiceAdvertiser>> advertisers_;
};

TEST_F(AvahiServiceAdvertiserTest, Advertise_IsSeenByBrowsingAndGoneAfterWithdraw) {
  startDaemon();
  const std::string name = "Tavolin Test " + std::to_string(::getpid());
  std::vector<ServiceAdvertiserEvent> events;
  auto& advertiser = makeAdvertiser();
  advertiser.advertise(advertisement(name), recordInto(events));
  runUntil(events, 1);
  ASSERT_EQ(events, (std::vector<ServiceAdvertiserEvent>{{Kind::registered, name}}));

  const auto services = browse();
  ASSERT_FALSE(services.empty());
  for (const auto& service : services) {
    EXPECT_EQ(service.name, name);
    EXPECT_EQ(service.port, "4567");
    EXPECT_NE(service.txt.find("\"version=1\""), std::string::npos) << service.txt;
    EXPECT_NE(service.txt.find("\"platform=linux\""), std::string::npos) << service.txt;
  }

  advertiser.withdraw();
  // The daemon's own cache keeps what it heard on the network until the goodbye lands.
  EXPECT_TRUE(testing::eventually([&] { return browse().empty(); }));
}

TEST_F(AvahiServiceAdvertiserTest, NameTaken_RegistersTheAlternativeName) {
  startDaemon();
  std::vector<ServiceAdvertiserEvent> first;
  std::vector<ServiceAdvertiserEvent> second;
  makeAdvertiser().advertise(advertisement("Tavolin Desk"), recordInto(first));
  runUntil(first, 1);
  // Another agent on this host: same name, another port.
  ServiceAdvertisement other = advertisement("Tavolin Desk");
  other.port = 4568;
  makeAdvertiser().advertise(other, recordInto(second));
  runUntil(second, 1);
  ASSERT_EQ(first, (std::vector<ServiceAdvertiserEvent>{{Kind::registered, "Tavolin Desk"}}));
  ASSERT_EQ(second, (std::vector<ServiceAdvertiserEvent>{{Kind::registered, "Tavolin Desk #2"}}));
  std::set<std::string> names;
  for (const auto& service : browse())
    names.insert(service.name);
  EXPECT_EQ(names, (std::set<std::string>{"Tavolin Desk", "Tavolin Desk #2"}));
}

TEST_F(AvahiServiceAdvertiserTest, DaemonAbsentThenStartedAndRestarted_ReportedOnceAndRegistered) {
  std::vector<ServiceAdvertiserEvent> events;
  makeAdvertiser().advertise(advertisement("Tavolin Later"), recordInto(events));
  runUntil(events, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::unavailable);

  startDaemon();
  runUntil(events, 2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], (ServiceAdvertiserEvent{Kind::registered, "Tavolin Later"}));

  stopDaemon();
  startDaemon();
  runUntil(events, 3);
  ASSERT_EQ(events.size(), 3u);  // no second "unavailable"
  EXPECT_EQ(events[2], (ServiceAdvertiserEvent{Kind::registered, "Tavolin Later"}));
  EXPECT_FALSE(browse().empty());
}

TEST_F(AvahiServiceAdvertiserTest, NoSystemBus_ReportsUnavailableOnceAndStopsCleanly) {
  bus_.reset();
  std::vector<ServiceAdvertiserEvent> events;
  auto& advertiser = makeAdvertiser();
  advertiser.advertise(advertisement("Tavolin Alone"), recordInto(events));
  advertiser.advertise(advertisement("Tavolin Alone"), recordInto(events));
  runUntil(events, 1);
  main_.run_for(200ms);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::unavailable);
  EXPECT_FALSE(events[0].detail.empty());
  advertiser.withdraw();
  advertiser.stop();
  advertiser.stop();
}

}  // namespace
}  // namespace tavolin
