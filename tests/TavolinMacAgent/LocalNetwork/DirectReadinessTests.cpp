#include <gtest/gtest.h>

#include "TavolinMacAgent/LocalNetwork/DirectReadiness.hpp"
#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"

namespace tavolin {
namespace {

using Family = InterfaceAddress::Family;
using Strings = std::vector<std::string>;

TEST(NetworkInterfaceAddressClassification, SortsByKindOnPhysicalInterfacesAndMeshAnywhere) {
  const auto addresses = networkInterfaceAddresses({
      {"lo", Family::ipv4, "127.0.0.1"},
      {"lo", Family::ipv6, "::1"},
      {"eth0", Family::ipv4, "192.168.1.20"},
      {"enp3s0", Family::ipv4, "10.0.0.7"},
      {"wlp2s0", Family::ipv4, "192.168.1.20"},  // same address twice: listed once
      {"docker0", Family::ipv4, "172.17.0.1"},
      {"eth0", Family::ipv6, "FE80::1C2B:3FF:FE4A:5B6C%eth0"},
      {"eth0", Family::ipv6, "fd12:3456::1"},
      {"eth0", Family::ipv6, "fc00::2"},
      {"eth0", Family::ipv6, "2001:db8::5"},
      {"eth0", Family::ipv6, "ff02::1"},
      {"eth0", Family::ipv6, "::"},
      {"veth1a2b", Family::ipv6, "2001:db8::9"},
      {"tailscale0", Family::ipv4, "100.101.102.103"},
      {"tailscale0", Family::ipv6, "FD7A:115C:A1E0::1234"},
      {"eth1", Family::ipv4, "100.64.0.1"},         // mesh range wins over the interface
      {"tailscale0", Family::ipv4, "100.128.0.1"},  // just outside the mesh range
  });
  EXPECT_EQ(addresses.localIPv4, (Strings{"10.0.0.7", "192.168.1.20"}));
  EXPECT_EQ(addresses.linkLocalIPv6, (Strings{"fe80::1c2b:3ff:fe4a:5b6c"}));
  EXPECT_EQ(addresses.uniqueLocalIPv6, (Strings{"fc00::2", "fd12:3456::1"}));
  EXPECT_EQ(addresses.globalIPv6, (Strings{"2001:db8::5"}));
  EXPECT_EQ(addresses.meshIPv4, (Strings{"100.101.102.103", "100.64.0.1"}));
  EXPECT_EQ(addresses.meshIPv6, (Strings{"fd7a:115c:a1e0::1234"}));
}

TEST(NetworkInterfaceAddressClassification, ThisMachineListsItsLoopback) {
  const auto addresses = LinuxSystemInfo().interfaceAddresses();
  EXPECT_NE(std::find(addresses.begin(), addresses.end(),
                      InterfaceAddress{"lo", Family::ipv4, "127.0.0.1"}),
            addresses.end());
}

TEST(DirectReadinessReport, MeshDetectionServeCommandSTUNAndFixedFacts) {
  DirectReadinessFacts facts;
  facts.localAgentPort = 57852;
  facts.addresses.meshIPv4 = {"100.100.1.1"};
  facts.stunServers = {{{"stun:b.example:3478", "stun:a.example:3478"}, {}, {}}};
  const auto report = directReadiness(facts);
  EXPECT_TRUE(report.privateMesh.tailscaleInterfaceDetected);
  EXPECT_EQ(report.privateMesh.tailscaleIPv4Addresses, (Strings{"100.100.1.1"}));
  EXPECT_EQ(report.privateMesh.suggestedServeCommand,
            "tailscale serve --bg http://127.0.0.1:57852");
  EXPECT_TRUE(report.privateMesh.setupSummary.starts_with("Tailscale/private mesh interface"));
  EXPECT_EQ(report.stunURLs, (Strings{"stun:a.example:3478", "stun:b.example:3478"}));
  EXPECT_EQ(report.recommendedExternalPort, 443);
  EXPECT_TRUE(report.requiresHTTPS);
  EXPECT_FALSE(report.integratedWireGuard.macIntegratedHostAvailable);
  EXPECT_EQ(report.integratedWireGuard.localAgentPort, 57852);
  EXPECT_EQ(report.integratedWireGuard.routePolicy, "tavolin-split-tunnel-only");
  EXPECT_TRUE(report.integratedWireGuard.remainingRequirement.has_value());
  EXPECT_EQ(report.security, (DirectReadinessSecurity{true, true, true, true, true, true, true}));

  DirectReadinessFacts bare;
  bare.localAgentPort = 6000;
  const auto withoutMesh = directReadiness(bare);
  EXPECT_FALSE(withoutMesh.privateMesh.tailscaleInterfaceDetected);
  EXPECT_TRUE(withoutMesh.privateMesh.setupSummary.starts_with("No Tailscale/private mesh"));
  EXPECT_TRUE(withoutMesh.stunURLs.empty());
}

}  // namespace
}  // namespace tavolin
