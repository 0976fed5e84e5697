#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavolin {

// One address of a network interface, in numeric text.
struct InterfaceAddress {
  enum class Family { ipv4, ipv6 };
  std::string interfaceName;
  Family family = Family::ipv4;
  std::string address;
  bool operator==(const InterfaceAddress&) const = default;
};

// The operating system as it names itself, for comparing with a required version.
struct OperatingSystemRelease {
  // For example "Debian GNU/Linux"; "Linux" when the system does not say.
  std::string name;
  // For example "12"; "0" when the system does not say.
  std::string version;
  bool operator==(const OperatingSystemRelease&) const = default;
};

// Identity strings of this computer, its operating system and its network addresses.
// Thread-safe; values are read afresh on each call (the host name and the addresses may change
// while the agent runs).
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // The network host name.
  virtual std::string hostName() = 0;
  // The name the user gave the computer, when there is one.
  virtual std::optional<std::string> computerName() = 0;
  // For example "Linux Debian 12 (6.1.0)".
  virtual std::string osVersion() = 0;
  // Read from disk on each call: keep it off the main actor.
  virtual OperatingSystemRelease operatingSystemRelease() = 0;
  // "linux" here; what controllers use to pick key layouts and wording.
  virtual std::string platformName() = 0;
  // The IPv4 and IPv6 addresses of every interface; empty when the list cannot be read.
  virtual std::vector<InterfaceAddress> interfaceAddresses() = 0;
};

}  // namespace tavolin
