#pragma once

#include <optional>
#include <string>

namespace tavolin {

// Identity strings of this computer and its operating system. Thread-safe; values are read
// afresh on each call (the host name may change while the agent runs).
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // The network host name.
  virtual std::string hostName() = 0;
  // The name the user gave the computer, when there is one.
  virtual std::optional<std::string> computerName() = 0;
  // For example "Linux Debian 12 (6.1.0)".
  virtual std::string osVersion() = 0;
  // "linux" here; what controllers use to pick key layouts and wording.
  virtual std::string platformName() = 0;
};

}  // namespace tavolin
