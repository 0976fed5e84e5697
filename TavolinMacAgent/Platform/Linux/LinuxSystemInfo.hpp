#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

// One value of an os-release style file (KEY=value lines, values optionally quoted).
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key);

// "Linux " + distribution name (without "GNU/Linux") + version + " (" + the kernel release's
// leading version numbers + ")", e.g. "Linux Debian 12 (6.1.0)".
std::string linuxOSVersion(std::string_view osRelease, std::string_view kernelRelease);

// Reads /etc/os-release (else /usr/lib/os-release), /etc/machine-info, uname and getifaddrs.
class LinuxSystemInfo final : public SystemInfo {
 public:
  explicit LinuxSystemInfo(std::filesystem::path etc = "/etc");

  std::string hostName() override;
  std::optional<std::string> computerName() override;
  std::string osVersion() override;
  std::string platformName() override { return "linux"; }
  std::vector<InterfaceAddress> interfaceAddresses() override;

 private:
  std::filesystem::path etc_;
};

}  // namespace tavolin
