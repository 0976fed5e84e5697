#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <sys/resource.h>

#include "ControlPlaneServer/ControlPlaneCommandLine.hpp"
#include "ControlPlaneServer/ControlPlaneServer.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Runtime/Clock.hpp"

namespace {

// Every connection is a descriptor, and the usual soft limit of 1024 sits close to the
// connection cap; the hard limit is ours to take.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
      std::cerr << "TAVOLIN_CONTROL_PLANE_NOFILE_UNCHANGED" << std::endl;
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavolin;
  ControlPlaneCommandLine commandLine;
  try {
    commandLine = ControlPlaneCommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const ControlPlaneUsageError& error) {
    std::cerr << "tavolin-control-plane: " << error.description() << '\n'
              << ControlPlaneCommandLine::usage;
    return 64;
  }
  if (commandLine.showHelp) {
    std::cout << ControlPlaneCommandLine::usage;
    return 0;
  }

  raiseDescriptorLimit();
  try {
    const Environment environment = currentProcessEnvironment();
    std::filesystem::path databaseFile;
    if (commandLine.databaseFile) {
      databaseFile = *commandLine.databaseFile;
      if (databaseFile.has_parent_path())
        std::filesystem::create_directories(databaseFile.parent_path());
    } else {
      const auto paths = AppPaths::fromEnvironment(environment);
      ensurePrivateDirectory(paths.dataDirectory);
      databaseFile = ControlPlaneCommandLine::defaultDatabaseFile(paths);
    }

    asio::io_context context(1);
    SystemClock clock;
    ControlPlaneStore store(databaseFile, clock);

    asio::ip::tcp::resolver resolver(context);
    const auto endpoints = resolver.resolve(
        commandLine.listenHost, std::to_string(commandLine.listenPort),
        asio::ip::tcp::resolver::passive | asio::ip::tcp::resolver::numeric_service);
    ControlPlaneServer server(context.get_executor(), store, clock,
                              ControlPlaneOptions::fromEnvironment(environment), std::cerr, {});
    const auto port = server.listen(endpoints.begin()->endpoint());

    asio::signal_set stopSignals(context, SIGINT, SIGTERM);
    stopSignals.async_wait([&](const boost::system::error_code& error, int) {
      if (error)
        return;
      server.stop();
      // Back to the default disposition: a second signal does not wait for slow clients.
      boost::system::error_code ignored;
      stopSignals.clear(ignored);
    });
    std::cerr << "TAVOLIN_CONTROL_PLANE_READY port=" << port << std::endl;
    // Returns once the server has stopped and its last connection has closed.
    context.run();
  } catch (const std::exception& error) {
    std::cerr << "TAVOLIN_CONTROL_PLANE_START_FAILED " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
