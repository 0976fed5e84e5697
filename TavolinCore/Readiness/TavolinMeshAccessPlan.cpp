#include "TavolinCore/Readiness/TavolinMeshAccessPlan.hpp"

namespace tavolin {

TavolinMeshAccessPlan TavolinMeshAccessPlan::evaluate(const TavolinMeshAccessInputs& inputs) {
  using Status = TavolinMeshAccessStatus;
  using Route = TavolinMeshAccessRoute;

  if (!inputs.deviceTrusted) {
    return {Status::blocked, Route::unavailable, "Trust Blocked",
            "This computer does not have a pinned device key, so remote access should stay "
            "blocked.",
            "Pair the computer again from a trusted local network before enabling any remote "
            "route."};
  }

  const bool meshReady = inputs.privateMeshProfileSaved && inputs.privateMeshHTTPSReachable;
  const bool tunnelSaved =
      inputs.integratedWireGuardProfileSaved && inputs.integratedWireGuardTunnelInstalled;
  const bool tunnelWorking =
      inputs.integratedWireGuardTunnelActive && inputs.integratedWireGuardHTTPSReachable;
  const bool local = inputs.localNetworkReachable && inputs.localPairingReady;
  const bool relayed = inputs.liveMediaUsesRelay.value_or(false);
  // Media through a relay still works, but it is not the private path the route promises.
  const Status mediaStatus = relayed ? Status::warning : Status::ready;
  const Route awayRoute = local ? Route::localNetwork : Route::privateMesh;

  if (meshReady && inputs.directSecurityReady) {
    return {mediaStatus, awayRoute, local ? "Local Now, Mesh Away" : "Private Mesh Ready",
            "Private Mesh is reachable without public router ports or hosted relay.",
            relayed ? "The control route is private, but current media is relayed. Start a fresh "
                      "session and verify the live media route from the target network."
                    : "Keep the Mac and iPhone signed in to the same private mesh; no public port "
                      "forward is required for this route."};
  }
  if (!meshReady && tunnelSaved && inputs.directSecurityReady) {
    if (tunnelWorking) {
      return {mediaStatus, awayRoute,
              local ? "Local Now, Secure Away" : "Built-In Secure Tunnel Ready",
              "Private Mesh can use Tavolin's built-in WireGuard underlay without the external "
              "WireGuard app or hosted relay.",
              relayed ? "The control tunnel is ready, but current media is relayed. Restart the "
                        "session and verify the live media route."
                      : "Keep the Tavolin VPN profile installed and start it before using this "
                        "private route away from home."};
    }
    return {Status::warning, awayRoute, "Built-In Secure Tunnel Needs Start",
            "The built-in VPN profile is installed and trusted, but the private tunnel is not "
            "currently reachable.",
            "Start the built-in secure tunnel, then retest the HTTPS Tavolin URL inside that "
            "tunnel."};
  }
  if (local) {
    return {Status::warning, Route::localNetwork, "Local Only Ready",
            "This iPhone can control the Mac on the current Wi-Fi, but that does not by itself "
            "work from a shop, cellular, or another house.",
            "Set up Private Mesh for no-public-port access away from this Wi-Fi."};
  }
  if (inputs.coordinatorReachable &&
      inputs.connectionPolicy == TavolinConnectionPolicy::directPreferred) {
    return {Status::warning, Route::coordinatorDirect, "Coordinator Signaling Only",
            "Coordinator signaling is available and TURN relay is blocked by policy.",
            "This may work when ICE connects directly, but Private Mesh is the more predictable "
            "no-public-port path."};
  }
  return {Status::blocked, Route::unavailable, "No Working Route",
          "No local, private mesh, or allowed fallback route is currently ready for this "
          "computer.",
          "Start on the same Wi-Fi as the Mac, complete local pairing, then save and test Private "
          "Mesh."};
}

}  // namespace tavolin
