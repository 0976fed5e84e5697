#include "TavolinMacAgent/LocalNetwork/DirectReadiness.hpp"

#include <algorithm>
#include <set>

#include "TavolinCore/Foundation/CaseInsensitive.hpp"
#include "TavolinCore/Foundation/Whitespace.hpp"
#include "TavolinMacAgent/LocalNetwork/LocalPeerClassification.hpp"

namespace tavolin {
namespace {

// The mesh client is found on PATH; there is no fixed install location to prefer.
constexpr std::string_view kMeshCommand = "tailscale";

std::vector<std::string> sorted(const std::set<std::string>& values) {
  return {values.begin(), values.end()};
}

}  // namespace

bool isPhysicalNetworkInterface(std::string_view name) {
  return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

NetworkInterfaceAddresses networkInterfaceAddresses(
    const std::vector<InterfaceAddress>& addresses) {
  std::set<std::string> localIPv4, globalIPv6, uniqueLocalIPv6, linkLocalIPv6, meshIPv4, meshIPv6;
  for (const auto& entry : addresses) {
    std::string address = entry.address.substr(0, entry.address.find('%'));
    const bool physical = isPhysicalNetworkInterface(entry.interfaceName);
    if (entry.family == InterfaceAddress::Family::ipv4) {
      if (isTailscaleIPv4(address))
        meshIPv4.insert(std::move(address));
      else if (physical)
        localIPv4.insert(std::move(address));
      continue;
    }
    address = asciiLowercased(address);
    if (isPrivateMeshAddress(address)) {
      meshIPv6.insert(std::move(address));
    } else if (!physical || address.starts_with("ff") || address == "::1" || address == "::") {
      continue;
    } else if (address.starts_with("fe80:")) {
      linkLocalIPv6.insert(std::move(address));
    } else if (address.starts_with("fc") || address.starts_with("fd")) {
      uniqueLocalIPv6.insert(std::move(address));
    } else {
      globalIPv6.insert(std::move(address));
    }
  }
  return {sorted(localIPv4),     sorted(globalIPv6), sorted(uniqueLocalIPv6),
          sorted(linkLocalIPv6), sorted(meshIPv4),   sorted(meshIPv6)};
}

DirectReadinessResponse directReadiness(DirectReadinessFacts facts) {
  DirectReadinessResponse report;
  report.device = std::move(facts.device);
  report.generatedAt = std::move(facts.generatedAt);
  report.localAgentPort = facts.localAgentPort;
  report.recommendedExternalPort = 443;
  report.requiresHTTPS = true;
  report.directAccessTokenAvailable = facts.directAccessTokenAvailable;
  auto& addresses = facts.addresses;
  report.globalIPv6Addresses = std::move(addresses.globalIPv6);
  report.localIPv4Addresses = std::move(addresses.localIPv4);
  report.uniqueLocalIPv6Addresses = std::move(addresses.uniqueLocalIPv6);
  report.linkLocalIPv6Addresses = std::move(addresses.linkLocalIPv6);
  for (auto& server : facts.stunServers) {
    for (auto& url : server.urls)
      report.stunURLs.push_back(std::move(url));
  }
  std::sort(report.stunURLs.begin(), report.stunURLs.end());

  auto& mesh = report.privateMesh;
  mesh.tailscaleIPv4Addresses = std::move(addresses.meshIPv4);
  mesh.tailscaleIPv6Addresses = std::move(addresses.meshIPv6);
  mesh.tailscaleInterfaceDetected =
      !mesh.tailscaleIPv4Addresses.empty() || !mesh.tailscaleIPv6Addresses.empty();
  mesh.suggestedServeCommand = std::string(kMeshCommand) + " serve --bg http://127.0.0.1:" +
                               std::to_string(facts.localAgentPort);
  mesh.setupSummary =
      mesh.tailscaleInterfaceDetected
          ? "Tailscale/private mesh interface detected. Use Tailscale Serve HTTPS or another "
            "private-mesh HTTPS proxy to reach this Mac without public router ports."
          : "No Tailscale/private mesh interface was detected. Sign in to Tailscale on this Mac "
            "and iPhone, then expose the local agent through a private HTTPS route.";

  // This agent hosts no tunnel of its own; it says so and what would be needed.
  auto& tunnel = report.integratedWireGuard;
  tunnel.macIntegratedHostAvailable = false;
  tunnel.localAgentPort = facts.localAgentPort;
  tunnel.routePolicy = "tavolin-split-tunnel-only";
  tunnel.setupSummary =
      "The iPhone packet-tunnel engine can be bundled, but this Mac build still needs a "
      "Tavolin-owned WireGuard host tunnel before pairing can produce a runnable config.";
  tunnel.remainingRequirement =
      "Add and notarize a macOS Network Extension packet-tunnel host, then generate per-phone "
      "peers from the Mac agent.";

  report.security = {true, true, true, true, true, true, true};
  return report;
}

}  // namespace tavolin
