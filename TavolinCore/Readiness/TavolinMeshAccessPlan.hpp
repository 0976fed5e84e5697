#pragma once

// Which route a controller should use to reach this computer right now, from what it knows
// about the local network, the private mesh, the built-in tunnel and the coordinator. Pure
// values; callable from any thread.

#include <optional>
#include <string>

#include "TavolinCore/Streaming/TavolinConnectionPolicy.hpp"

namespace tavolin {

enum class TavolinMeshAccessStatus { ready, warning, blocked };

enum class TavolinMeshAccessRoute {
  localNetwork,
  privateMesh,
  coordinatorDirect,
  coordinatorRelay,
  unavailable
};

struct TavolinMeshAccessInputs {
  bool localNetworkReachable = false;
  bool localPairingReady = false;
  bool directProfileSaved = false;
  bool directHTTPSReachable = false;
  bool directSecurityReady = false;
  bool globalIPv6Available = false;
  bool stunConfigured = false;
  bool coordinatorReachable = false;
  TavolinConnectionPolicy connectionPolicy = TavolinConnectionPolicy::directPreferred;
  bool deviceTrusted = false;
  std::optional<bool> liveMediaUsesRelay;
  bool privateMeshProfileSaved = false;
  bool privateMeshHTTPSReachable = false;
  bool integratedWireGuardProfileSaved = false;
  bool integratedWireGuardTunnelInstalled = false;
  bool integratedWireGuardTunnelActive = false;
  bool integratedWireGuardHTTPSReachable = false;
};

struct TavolinMeshAccessPlan {
  TavolinMeshAccessStatus status = TavolinMeshAccessStatus::blocked;
  TavolinMeshAccessRoute recommendedRoute = TavolinMeshAccessRoute::unavailable;
  std::string title;
  std::string summary;
  std::string nextAction;

  bool operator==(const TavolinMeshAccessPlan&) const = default;

  // The first rule that matches wins; an untrusted device is always blocked.
  static TavolinMeshAccessPlan evaluate(const TavolinMeshAccessInputs& inputs);
};

}  // namespace tavolin
