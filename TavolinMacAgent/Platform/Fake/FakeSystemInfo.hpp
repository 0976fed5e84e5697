#pragma once

#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

class FakeSystemInfo final : public SystemInfo {
 public:
  std::string host = "desk.lan";
  std::optional<std::string> computer = "Desk";
  std::string version = "Linux Debian 12 (6.1.0)";

  std::string hostName() override { return host; }
  std::optional<std::string> computerName() override { return computer; }
  std::string osVersion() override { return version; }
  std::string platformName() override { return "linux"; }
};

}  // namespace tavolin
