#include "TavolinMacAgent/Platform/Linux/ApplicationLauncher.hpp"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavolin {
namespace {

bool isExecutableFile(const std::string& path) {
  return access(path.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(path);
}

// The program as an absolute path, looked up on $PATH when it has no slash.
std::optional<std::string> resolvedProgram(const std::string& program) {
  if (program.find('/') != std::string::npos)
    return isExecutableFile(program) ? std::optional(program) : std::nullopt;
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view directory = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    if (directory.empty())
      continue;
    std::string candidate = std::string(directory) + "/" + program;
    if (isExecutableFile(candidate))
      return candidate;
  }
  return std::nullopt;
}

std::vector<std::string> childEnvironment(const DesktopEntry& entry, std::string_view displayName) {
  const auto replaced = [&](std::string_view variable) {
    return variable.starts_with(launchedDesktopFileVariable) || variable.starts_with("DISPLAY=");
  };
  std::vector<std::string> environment;
  for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
    if (!replaced(*variable))
      environment.emplace_back(*variable);
  }
  environment.push_back(std::string(launchedDesktopFileVariable) + "=" + entry.path.string());
  if (!displayName.empty()) {
    environment.push_back("DISPLAY=" + std::string(displayName));
  } else if (const char* display = std::getenv("DISPLAY")) {
    environment.push_back(std::string("DISPLAY=") + display);
  }
  return environment;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& string : strings)
    result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

bool launchDesktopEntry(const DesktopEntry& entry, std::string_view displayName) {
  auto arguments = desktopExecArguments(entry.exec);
  if (!arguments)
    return false;
  if (!entry.tryExec.empty() && !resolvedProgram(entry.tryExec))
    return false;
  const auto program = resolvedProgram(arguments->front());
  if (!program)
    return false;
  arguments->front() = *program;

  // The outer shell starts the inner one in the background and exits at once, so the
  // application is reparented to init and never becomes our zombie. The inner shell records
  // its own pid, which exec hands on to the application.
  std::vector<std::string> argv{
      "/bin/sh", "-c", "sh -c \"$0\" sh \"$@\" &",
      "GIO_LAUNCHED_DESKTOP_FILE_PID=$$; export GIO_LAUNCHED_DESKTOP_FILE_PID; exec \"$@\""};
  argv.insert(argv.end(), arguments->begin(), arguments->end());
  std::vector<std::string> environment = childEnvironment(entry, displayName);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setsigdefault(&attributes, &allSignals);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  auto argvPointers = pointers(argv);
  auto environmentPointers = pointers(environment);
  pid_t outer = -1;
  const int spawned = posix_spawn(&outer, argv.front().c_str(), &actions, &attributes,
                                  argvPointers.data(), environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0)
    return false;
  int status = 0;
  while (waitpid(outer, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tavolin
