#pragma once

#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

class FakeSystemInfo final : public SystemInfo {
 public:
  std::string host = "desk.lan";
  std::optional<std::string> computer = "Desk";
  std::string version = "Linux Debian 12 (6.1.0)";
  OperatingSystemRelease release{"Debian GNU/Linux", "12"};
  std::vector<InterfaceAddress> addresses;

  std::string hostName() override { return host; }
  std::optional<std::string> computerName() override { return computer; }
  std::string osVersion() override { return version; }
  OperatingSystemRelease operatingSystemRelease() override { return release; }
  std::string platformName() override { return "linux"; }
  std::vector<InterfaceAddress> interfaceAddresses() override { return addresses; }
};

}  // namespace tavolin
