#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Security/KeychainTokenStore.hpp"
#include "TavolinMacAgent/App/TokenStoreChoice.hpp"
#include "TavolinMacAgent/Platform/Linux/LibsecretItemStore.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::runProcess;
using testing::TemporaryDirectory;
using Key = TavolinTokenKey;

// Sets a variable of this process for the life of the object, then puts the old value back.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const char* name, const std::optional<std::string>& value)
      : name_(name) {
    if (const char* old = std::getenv(name)) {
      previous_ = old;
    }
    set(value);
  }
  ~ScopedEnvironmentVariable() { set(previous_); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

  const char* name_;
  std::optional<std::string> previous_;
};

bool isRunningGnomeKeyring(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidField, command, state;
  // A zombie has already let go of the keyring files.
  return stat >> pidField >> command >> state &&
         command.find("gnome-keyring") != std::string::npos && state != "Z";
}

// A private session bus with gnome-keyring on it, HOME and XDG directories in a temporary
// directory, so the user's own keyring is never touched.
//
// What gnome-keyring needs here (also as root, without a desktop):
// - `--unlock` with an empty line on stdin: that creates the "login" keyring with an empty
//   password, unlocked, and makes it the default collection. With nothing at all on stdin no
//   keyring is created and every store fails with "Object does not exist".
// - `--control-directory` inside the temporary directory, so that it never finds and joins a
//   daemon of the real session through GNOME_KEYRING_CONTROL.
// - It daemonises, and its parent exits before the daemon owns its bus name, so readiness is
//   waiting for that name. The daemon's pid is asked from the bus so that it can be stopped at
//   the end (it would also quit when the bus goes away).
class KeyringSession {
 public:
  KeyringSession() {
    try {
      start();
    } catch (const std::exception& error) {
      failure_ = error.what();
    }
  }

  ~KeyringSession() {
    if (keyringPid_ > 0) {
      stopKeyring(SIGTERM);
      stopKeyring(SIGKILL);
    }
    bus_.reset();
  }

  const std::string& failure() const { return failure_; }

 private:
  // Not our child once it has daemonised, so it cannot be waited for: watch /proc instead.
  void stopKeyring(int signalNumber) {
    if (!isRunningGnomeKeyring(keyringPid_)) {
      return;
    }
    ::kill(keyringPid_, signalNumber);
    for (int attempt = 0; attempt < 300 && isRunningGnomeKeyring(keyringPid_); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void start() {
    const auto home = directory_.path() / "home";
    const auto runtime = directory_.path() / "run";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::map<std::string, std::string> environment{
        {"HOME", home.string()},
        {"XDG_RUNTIME_DIR", runtime.string()},
        {"XDG_DATA_HOME", (home / ".local/share").string()},
        {"XDG_CONFIG_HOME", (home / ".config").string()},
        {"XDG_CACHE_HOME", (home / ".cache").string()},
    };

    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork",
                                 "--address=unix:path=" + (directory_.path() / "bus").string(),
                                 "--print-address=2"},
        environment);
    const auto address = bus_->readErrorLine(std::chrono::seconds(20));
    if (!address || address->rfind("unix:", 0) != 0) {
      throw std::runtime_error("dbus-daemon did not print its address");
    }
    environment["DBUS_SESSION_BUS_ADDRESS"] = *address;

    const auto keyring = runProcess({"gnome-keyring-daemon", "--unlock", "--components=secrets",
                                     "--control-directory=" + (runtime / "keyring").string()},
                                    "\n", environment, std::chrono::seconds(30));
    if (keyring.exitCode != 0) {
      throw std::runtime_error("gnome-keyring-daemon failed: " + keyring.standardError);
    }
    // The parent returns before the daemon has taken its bus name.
    const auto wait =
        runProcess({"gdbus", "wait", "--session", "--timeout", "20", "org.freedesktop.secrets"}, {},
                   environment, std::chrono::seconds(30));
    if (wait.exitCode != 0) {
      throw std::runtime_error("the Secret Service did not appear on the bus: " +
                               wait.standardError);
    }
    const auto owner =
        runProcess({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                    "/org/freedesktop/DBus", "--method",
                    "org.freedesktop.DBus.GetConnectionUnixProcessID", "org.freedesktop.secrets"},
                   {}, environment, std::chrono::seconds(20));
    // "(uint32 1234,)"
    std::istringstream reply(owner.standardOutput);
    std::string type;
    reply.ignore(1) >> type >> keyringPid_;
    if (owner.exitCode != 0 || keyringPid_ <= 0) {
      throw std::runtime_error("no Secret Service on the private bus: " + owner.standardError);
    }
    // libsecret reads the address from this process's environment on its first call.
    busAddress_.emplace("DBUS_SESSION_BUS_ADDRESS", *address);
  }

  TemporaryDirectory directory_;
  std::unique_ptr<ChildProcess> bus_;
  int keyringPid_ = -1;
  std::optional<ScopedEnvironmentVariable> busAddress_;
  std::string failure_;
};

class LibsecretItemStoreIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new KeyringSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(session_->failure(), ""); }

  std::shared_ptr<LibsecretItemStore> items = std::make_shared<LibsecretItemStore>();

 private:
  static inline KeyringSession* session_ = nullptr;
};

TEST_F(LibsecretItemStoreIntegration, ServiceAvailability_IsReportedForARunningKeyring) {
  EXPECT_TRUE(LibsecretItemStore::isServiceAvailable());
}

TEST_F(LibsecretItemStoreIntegration, KeychainStore_WritesReadsOverwritesAndDeletes) {
  KeychainTokenStore store(items, "app.tavolin.test-roundtrip", std::nullopt);
  EXPECT_EQ(store.read(Key::agentToken), std::nullopt);
  store.write("first", Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), "first");
  store.write(" h\xc3\xa9\n\xf0\x9f\x94\x91 ", Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), " h\xc3\xa9\n\xf0\x9f\x94\x91 ");
  store.write("", Key::ownerToken);
  EXPECT_EQ(store.read(Key::ownerToken), "");

  // Overwriting kept a single item: adding another one for the same account is refused.
  const SecureItemQuery query{"app.tavolin.test-roundtrip", "agentToken", std::nullopt};
  EXPECT_EQ(
      items->add(query, "second item", SecureItemAccessibility::afterFirstUnlockThisDeviceOnly),
      SecureItemStatus::duplicateItem);

  store.remove(Key::agentToken);
  EXPECT_EQ(store.read(Key::agentToken), std::nullopt);
  EXPECT_NO_THROW(store.remove(Key::agentToken));
  EXPECT_EQ(store.read(Key::ownerToken), "");
  store.remove(Key::ownerToken);
}

TEST_F(LibsecretItemStoreIntegration, Services_DoNotSeeEachOthersItems) {
  KeychainTokenStore first(items, "app.tavolin.test-first", std::nullopt);
  KeychainTokenStore second(items, "app.tavolin.test-second", std::nullopt);
  first.write("one", Key::directAccessSecret);
  EXPECT_EQ(second.read(Key::directAccessSecret), std::nullopt);
  second.write("two", Key::directAccessSecret);
  EXPECT_EQ(first.read(Key::directAccessSecret), "one");
  EXPECT_EQ(second.read(Key::directAccessSecret), "two");
  second.remove(Key::directAccessSecret);
  EXPECT_EQ(first.read(Key::directAccessSecret), "one");
  first.remove(Key::directAccessSecret);
}

TEST_F(LibsecretItemStoreIntegration, ItemCalls_UpdateNeverCreatesAndGroupsNarrowQueries) {
  const SecureItemQuery plain{"app.tavolin.test-items", "agentToken", std::nullopt};
  EXPECT_EQ(items->update(plain, "x"), SecureItemStatus::itemNotFound);
  EXPECT_EQ(items->copy(plain).status, SecureItemStatus::itemNotFound);
  EXPECT_EQ(items->remove(plain), SecureItemStatus::itemNotFound);

  const SecureItemQuery grouped{"app.tavolin.test-items", "agentToken", "group.a"};
  const SecureItemQuery otherGroup{"app.tavolin.test-items", "agentToken", "group.b"};
  EXPECT_EQ(items->add(grouped, "v1", SecureItemAccessibility::afterFirstUnlockThisDeviceOnly),
            SecureItemStatus::success);
  EXPECT_EQ(items->copy(otherGroup).status, SecureItemStatus::itemNotFound);
  EXPECT_EQ(items->add(otherGroup, "v2", SecureItemAccessibility::whenUnlocked),
            SecureItemStatus::duplicateItem);
  EXPECT_EQ(items->update(plain, "v3"), SecureItemStatus::success);
  const auto copied = items->copy(grouped);
  EXPECT_EQ(copied.status, SecureItemStatus::success);
  EXPECT_EQ(copied.data, "v3");
  EXPECT_EQ(items->remove(otherGroup), SecureItemStatus::itemNotFound);
  EXPECT_EQ(items->remove(plain), SecureItemStatus::success);
  EXPECT_EQ(items->copy(grouped).status, SecureItemStatus::itemNotFound);
}

TEST_F(LibsecretItemStoreIntegration, RawBytes_RoundTripAndNonUTF8IsDetected) {
  const SecureItemQuery query{"app.tavolin.test-bytes", "devicePrivateKey", std::nullopt};
  const std::string bytes("a\0b\xff\xfe", 5);
  ASSERT_EQ(items->add(query, bytes, SecureItemAccessibility::afterFirstUnlockThisDeviceOnly),
            SecureItemStatus::success);
  EXPECT_EQ(items->copy(query).data, bytes);

  KeychainTokenStore store(items, "app.tavolin.test-bytes", std::nullopt);
  try {
    store.read(Key::devicePrivateKey);
    ADD_FAILURE() << "non-UTF-8 data was accepted";
  } catch (const TokenStoreError& error) {
    EXPECT_EQ(error.kind(), TokenStoreError::Kind::invalidData);
  }
  store.remove(Key::devicePrivateKey);
}

TEST(LibsecretItemStoreWithoutService, UnreachableBus_IsUnavailableAndFallsBackToFiles) {
  TemporaryDirectory directory;
  {
    ScopedEnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS",
                                  "unix:path=" + (directory.path() / "no-such-socket").string());
    EXPECT_FALSE(LibsecretItemStore::isServiceAvailable());
    LibsecretItemStore items;
    EXPECT_EQ(items.copy({"svc", "agentToken", std::nullopt}).status,
              SecureItemStatus::notAvailable);

    const auto paths = AppPaths::fromEnvironment({{"HOME", directory.path().string()}});
    std::ostringstream diagnostics;
    const auto store = makeKeychainStore(paths, nullptr, diagnostics);
    const auto fileStoreDirectory = paths.dataDirectory / "token-store";
    EXPECT_EQ(diagnostics.str(), "TAVOLIN_KEYCHAIN_UNAVAILABLE using file store at " +
                                     fileStoreDirectory.string() + "\n");
    store->write("token", Key::agentToken);
    EXPECT_EQ(readFileIfExists(fileStoreDirectory / "agentToken.txt"), "token");
  }
  {
    // No address and no bus socket in the runtime directory: never try to launch a bus.
    ScopedEnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnvironmentVariable runtime("XDG_RUNTIME_DIR", directory.path().string());
    EXPECT_FALSE(LibsecretItemStore::isServiceAvailable());
  }
}

TEST(LibsecretItemStoreWithoutService, SilentBus_IsUnavailableOnceTheTimeoutPasses) {
  // A socket that accepts connections into its backlog but never speaks: the handshake would
  // wait forever without the timeout.
  TemporaryDirectory directory;
  const auto path = (directory.path() / "silent").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  ScopedEnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path);
  EXPECT_FALSE(LibsecretItemStore::isServiceAvailable(std::chrono::milliseconds(200)));
  ::close(listener);
}

}  // namespace
}  // namespace tavolin
