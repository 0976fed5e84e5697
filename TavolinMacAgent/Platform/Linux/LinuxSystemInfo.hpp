#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

using OSReleaseFields = std::map<std::string, std::string, std::less<>>;

// The assignments of an os-release style file, read as the shell would: KEY=value lines whose
// values may be '...', "..." with backslash escapes, or bare words with backslash escapes; "#"
// lines are comments and a later assignment replaces an earlier one. Lines that are not an
// assignment are skipped; a quote left open ends the file. Values that are not UTF-8 are left
// out.
OSReleaseFields parseOSRelease(std::string_view text);

// NAME and VERSION_ID, each with its default when absent or empty.
OperatingSystemRelease operatingSystemRelease(const OSReleaseFields& osRelease);

// "Linux " + distribution name (without "GNU/Linux") + version + " (" + the kernel release's
// leading version numbers + ")", e.g. "Linux Debian 12 (6.1.0)".
std::string linuxOSVersion(std::string_view osRelease, std::string_view kernelRelease);

// Reads /etc/os-release (else /usr/lib/os-release), /etc/machine-info, uname and getifaddrs.
class LinuxSystemInfo final : public SystemInfo {
 public:
  explicit LinuxSystemInfo(std::filesystem::path etc = "/etc",
                           std::filesystem::path usrLib = "/usr/lib");

  std::string hostName() override;
  std::optional<std::string> computerName() override;
  std::string osVersion() override;
  OperatingSystemRelease operatingSystemRelease() override;
  std::string platformName() override { return "linux"; }
  std::vector<InterfaceAddress> interfaceAddresses() override;

 private:
  std::filesystem::path etc_;
  std::filesystem::path usrLib_;

  std::string readOSRelease() const;
};

}  // namespace tavolin
