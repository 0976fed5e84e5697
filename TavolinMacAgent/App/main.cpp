#include <csignal>
#include <functional>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <openssl/crypto.h>
#include <sys/resource.h>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"
#include "TavolinCore/Runtime/MainActor.hpp"
#include "TavolinMacAgent/App/AgentCommandLine.hpp"
#include "TavolinMacAgent/App/TavolinMacAgentApp.hpp"

namespace {

// Every local connection holds a descriptor, and the usual soft limit of 1024 is below what the
// local server may hold beside everything else. Without the raise the agent still runs, only
// with fewer connections to spare.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
    return;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    tavolin::writeDiagnosticLine(tavolin::standardDiagnostics(),
                                 "tavolin-agent: could not raise the descriptor limit");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavolin;
  const AgentMode mode = parseAgentCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!std::holds_alternative<RunAgent>(mode)) {
    writeDiagnosticLine(standardDiagnostics(),
                        "tavolin-agent: the Codex summary modes are not available in this build");
    return 64;
  }

  raiseDescriptorLimit();
  // Streaming and queue threads may still be using OpenSSL while the process exits; its own
  // clean-up at exit would pull the library from under them.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  MainActor mainActor;
  TavolinMacAgentApp app(mainActor.executor(), standardDiagnostics(), makeLinuxPlatform);
  int exitCode = 0;

  asio::signal_set stopSignals(mainActor.context(), SIGINT, SIGTERM);
  stopSignals.async_wait([&](const boost::system::error_code& error, int) {
    if (!error)
      mainActor.stop();
  });
  // SIGUSR1: the emergency stop, for a local user without the menu; SIGUSR2 starts the hosted
  // route again afterwards. Each waits for the next signal once handled.
  asio::signal_set controlSignals(mainActor.context(), SIGUSR1, SIGUSR2);
  std::function<void()> awaitControlSignal = [&] {
    controlSignals.async_wait([&](const boost::system::error_code& error, int signal) {
      if (error || !app.coordinator())
        return;
      if (signal == SIGUSR1) {
        app.emergencyStop();
      } else {
        app.coordinator()->start();
      }
      awaitControlSignal();
    });
  };
  awaitControlSignal();
  asio::post(mainActor.executor(), [&] {
    try {
      app.applicationDidFinishLaunching(currentProcessEnvironment());
    } catch (const std::exception& error) {
      writeDiagnosticLine(standardDiagnostics(),
                          std::string("TAVOLIN_AGENT_START_FAILED ") + error.what());
      exitCode = 1;
      mainActor.stop();
    }
  });
  mainActor.run();
  return exitCode;
}
