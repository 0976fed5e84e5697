#pragma once

// Records of direct access (the separate secret for routes that bypass the hosted control
// plane) and of the readiness report that tells a controller which routes can work. Keys equal
// the field names, in wire order; coding is the generic one of JSONCodec.hpp.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/describe/class.hpp>

#include "TavolinCore/JSON/JSONCodec.hpp"
#include "TavolinCore/Records/Records.hpp"

namespace tavolin {

struct DirectAccessConfigResponse {
  Device device{};
  std::string tokenSecret{};
  std::int64_t listenPort{};
  bool requiresHTTPS{};
  std::int64_t recommendedExternalPort{};
  std::string route{};

  friend bool operator==(const DirectAccessConfigResponse&,
                         const DirectAccessConfigResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DirectAccessConfigResponse, (),
                      (device, tokenSecret, listenPort, requiresHTTPS, recommendedExternalPort,
                       route))

struct DirectAccessRevocationResponse {
  Device device{};
  std::string revokedAt{};
  std::vector<std::string> endedSessionIds{};
  bool directAccessTokenAvailable{};

  friend bool operator==(const DirectAccessRevocationResponse&,
                         const DirectAccessRevocationResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DirectAccessRevocationResponse, (),
                      (device, revokedAt, endedSessionIds, directAccessTokenAvailable))

struct PrivateMeshReadiness {
  bool tailscaleInterfaceDetected{};
  std::vector<std::string> tailscaleIPv4Addresses{};
  std::vector<std::string> tailscaleIPv6Addresses{};
  std::string suggestedServeCommand{};
  std::string setupSummary{};

  friend bool operator==(const PrivateMeshReadiness&, const PrivateMeshReadiness&) = default;
};
BOOST_DESCRIBE_STRUCT(PrivateMeshReadiness, (),
                      (tailscaleInterfaceDetected, tailscaleIPv4Addresses, tailscaleIPv6Addresses,
                       suggestedServeCommand, setupSummary))

struct IntegratedWireGuardReadiness {
  bool macIntegratedHostAvailable{};
  std::int64_t localAgentPort{};
  std::string routePolicy{};
  std::string setupSummary{};
  std::optional<std::string> remainingRequirement{};

  friend bool operator==(const IntegratedWireGuardReadiness&,
                         const IntegratedWireGuardReadiness&) = default;
};
BOOST_DESCRIBE_STRUCT(IntegratedWireGuardReadiness, (),
                      (macIntegratedHostAvailable, localAgentPort, routePolicy, setupSummary,
                       remainingRequirement))

// Facts about the agent's security rules; the agent reports every one as true.
struct DirectReadinessSecurity {
  bool localPairingRestrictedToLocalPeers{};
  bool localDeviceMetadataRestrictedToLocalPeers{};
  bool directAccessUsesSeparateSecret{};
  bool requiresPinnedDeviceKey{};
  bool plainHTTPRejectedByController{};
  bool publicDirectAccessRequiresHTTPSProxy{};
  bool failedAuthRateLimited{};

  friend bool operator==(const DirectReadinessSecurity&, const DirectReadinessSecurity&) = default;
};
BOOST_DESCRIBE_STRUCT(DirectReadinessSecurity, (),
                      (localPairingRestrictedToLocalPeers,
                       localDeviceMetadataRestrictedToLocalPeers, directAccessUsesSeparateSecret,
                       requiresPinnedDeviceKey, plainHTTPRejectedByController,
                       publicDirectAccessRequiresHTTPSProxy, failedAuthRateLimited))

struct DirectReadinessResponse {
  Device device{};
  std::string generatedAt{};
  std::int64_t localAgentPort{};
  std::int64_t recommendedExternalPort{};
  bool requiresHTTPS{};
  bool directAccessTokenAvailable{};
  std::vector<std::string> globalIPv6Addresses{};
  std::vector<std::string> localIPv4Addresses{};
  std::vector<std::string> uniqueLocalIPv6Addresses{};
  std::vector<std::string> linkLocalIPv6Addresses{};
  std::vector<std::string> stunURLs{};
  PrivateMeshReadiness privateMesh{};
  IntegratedWireGuardReadiness integratedWireGuard{};
  DirectReadinessSecurity security{};

  friend bool operator==(const DirectReadinessResponse&, const DirectReadinessResponse&) = default;
};
BOOST_DESCRIBE_STRUCT(DirectReadinessResponse, (),
                      (device, generatedAt, localAgentPort, recommendedExternalPort, requiresHTTPS,
                       directAccessTokenAvailable, globalIPv6Addresses, localIPv4Addresses,
                       uniqueLocalIPv6Addresses, linkLocalIPv6Addresses, stunURLs, privateMesh,
                       integratedWireGuard, security))

}  // namespace tavolin
