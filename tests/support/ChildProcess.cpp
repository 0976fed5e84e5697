#include "tests/support/ChildProcess.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavolin::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos)
      merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : extra)
    merged[key] = value;
  std::vector<std::string> out;
  for (const auto& [key, value] : merged)
    out.push_back(key + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings)
    out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Spawns with the given pipe ends as 0, 1, 2 (-1 leaves the test's own descriptor).
int spawn(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& env,
          int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0)
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0)
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (err >= 0)
    posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<std::string> args = arguments;
  std::vector<std::string> envStrings = mergedEnvironment(env);
  auto argv = pointers(args);
  auto envp = pointers(envStrings);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(rc));
  return pid;
}

int exitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input,
                         const std::map<std::string, std::string>& environment,
                         std::chrono::milliseconds timeout) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const int pid = spawn(arguments, environment, inPipe[0], outPipe[1], errPipe[1]);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);

  ProcessResult result;
  std::size_t written = 0;
  int inFd = inPipe[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int outFd = outPipe[0], errFd = errPipe[0];
  const auto deadline = Clock::now() + timeout;
  while (outFd >= 0 || errFd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
      break;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? outFd : errFd;
      if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(fd);
          fd = -1;
        } else {
          (i == 0 ? result.standardOutput : result.standardError).append(buffer, n);
        }
      }
    }
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0)
        written += static_cast<std::size_t>(n);
      if (n < 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0)
      close(fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = result.timedOut ? -1 : exitCodeOf(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment, Pipes pipes) {
  int errPipe[2];
  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if (pipe2(errPipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  if (pipes == Pipes::allStandard &&
      (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = spawn(arguments, environment, inPipe[0], outPipe[1], errPipe[1]);
  for (int fd : {errPipe[1], inPipe[0], outPipe[1]}) {
    if (fd >= 0)
      close(fd);
  }
  error_.fd = errPipe[0];
  output_.fd = outPipe[0];
  inputFd_ = inPipe[1];
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (!exited_) {
    kill(pid_, SIGTERM);
    if (!waitForExit(std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      waitForExit(std::chrono::seconds(5));
    }
  }
  error_.close();
  output_.close();
}

std::optional<std::string> ChildProcess::readErrorLine(std::chrono::milliseconds timeout) {
  if (errorLinesReturned_ == errorLines_.size()) {
    auto line = error_.readLine(timeout);
    if (!line)
      return std::nullopt;
    errorLines_.push_back(std::move(*line));
  }
  return errorLines_[errorLinesReturned_++];
}

std::optional<std::size_t> ChildProcess::findErrorLine(const std::regex& pattern, std::size_t from,
                                                       std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (std::size_t index = from;; ++index) {
    while (index >= errorLines_.size()) {
      const auto left =
          std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                   std::chrono::milliseconds(0));
      auto line = error_.readLine(left);
      if (!line)
        return std::nullopt;
      errorLines_.push_back(std::move(*line));
    }
    if (std::regex_search(errorLines_[index], pattern))
      return index;
  }
}

std::optional<std::string> ChildProcess::readOutputLine(std::chrono::milliseconds timeout) {
  return output_.readLine(timeout);
}

bool ChildProcess::writeInputLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  // A child that has gone must fail the write, not end the test process with SIGPIPE.
  static const bool sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)sigpipeIgnored;
  std::size_t written = 0;
  while (inputFd_ >= 0 && written < text.size()) {
    const ssize_t n = ::write(inputFd_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    written += static_cast<std::size_t>(n);
  }
  return inputFd_ >= 0;
}

void ChildProcess::closeInput() {
  if (inputFd_ >= 0)
    close(inputFd_);
  inputFd_ = -1;
}

std::optional<std::string> ChildProcess::LineReader::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto newline = buffered.find('\n'); newline != std::string::npos) {
      std::string line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || fd < 0)
      return std::nullopt;
    pollfd descriptor{fd, POLLIN, 0};
    if (poll(&descriptor, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      close();
      return std::nullopt;
    }
    buffered.append(buffer, n);
  }
}

void ChildProcess::LineReader::close() {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

void ChildProcess::signal(int signalNumber) {
  kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      return exitCodeOf(status);
    }
    if (done < 0 || Clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace tavolin::testing
