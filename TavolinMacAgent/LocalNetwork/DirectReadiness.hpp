#pragma once

// The readiness report that tells a locally paired controller which routes from outside can
// work: this computer's addresses, the STUN servers, whether a private mesh is up, and the
// security rules in force. Computed afresh on every request.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TavolinCore/Records/DirectAccessRecords.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinMacAgent/Platform/SystemInfo.hpp"

namespace tavolin {

// Each list sorted ascending and without repeats.
struct NetworkInterfaceAddresses {
  std::vector<std::string> localIPv4;
  std::vector<std::string> globalIPv6;
  std::vector<std::string> uniqueLocalIPv6;
  std::vector<std::string> linkLocalIPv6;
  std::vector<std::string> meshIPv4;
  std::vector<std::string> meshIPv6;
};

// Wired Ethernet and Wi-Fi: the interfaces a controller on the same network reaches.
bool isPhysicalNetworkInterface(std::string_view name);

// Mesh addresses from any interface; the others only from physical interfaces, by kind.
// Zone suffixes are cut and IPv6 is lower-cased; loopback, unspecified and multicast are dropped.
NetworkInterfaceAddresses networkInterfaceAddresses(const std::vector<InterfaceAddress>& addresses);

struct DirectReadinessFacts {
  Device device;
  std::string generatedAt;
  std::int64_t localAgentPort = 0;
  bool directAccessTokenAvailable = false;
  NetworkInterfaceAddresses addresses;
  std::vector<TavolinICEServer> stunServers;
};

DirectReadinessResponse directReadiness(DirectReadinessFacts facts);

}  // namespace tavolin
