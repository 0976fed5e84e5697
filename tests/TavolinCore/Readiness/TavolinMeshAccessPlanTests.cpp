#include <gtest/gtest.h>

#include "TavolinCore/Readiness/TavolinMeshAccessPlan.hpp"

namespace tavolin {
namespace {

using Status = TavolinMeshAccessStatus;
using Route = TavolinMeshAccessRoute;

TavolinMeshAccessInputs trusted() {
  TavolinMeshAccessInputs inputs;
  inputs.deviceTrusted = true;
  inputs.directSecurityReady = true;
  return inputs;
}

TEST(TavolinMeshAccessPlanRules, UntrustedDeviceIsBlockedWhateverElseWorks) {
  auto inputs = trusted();
  inputs.deviceTrusted = false;
  inputs.localNetworkReachable = inputs.localPairingReady = true;
  inputs.privateMeshProfileSaved = inputs.privateMeshHTTPSReachable = true;
  inputs.coordinatorReachable = true;
  const auto plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::blocked);
  EXPECT_EQ(plan.recommendedRoute, Route::unavailable);
  EXPECT_EQ(plan.title, "Trust Blocked");
}

TEST(TavolinMeshAccessPlanRules, MeshBeatsTunnelAndLocalAndRelayedMediaWarns) {
  auto inputs = trusted();
  inputs.privateMeshProfileSaved = inputs.privateMeshHTTPSReachable = true;
  inputs.integratedWireGuardProfileSaved = inputs.integratedWireGuardTunnelInstalled = true;
  auto plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::ready);
  EXPECT_EQ(plan.recommendedRoute, Route::privateMesh);
  EXPECT_EQ(plan.title, "Private Mesh Ready");

  inputs.localNetworkReachable = inputs.localPairingReady = true;
  inputs.liveMediaUsesRelay = true;
  plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::warning);
  EXPECT_EQ(plan.recommendedRoute, Route::localNetwork);
  EXPECT_EQ(plan.title, "Local Now, Mesh Away");
  EXPECT_TRUE(plan.nextAction.starts_with("The control route is private, but current media"));

  // Without its security facts the mesh is not offered; local pairing is what is left.
  inputs.directSecurityReady = false;
  EXPECT_EQ(TavolinMeshAccessPlan::evaluate(inputs).title, "Local Only Ready");
}

TEST(TavolinMeshAccessPlanRules, BuiltInTunnelWorkingOrNeedingStart) {
  auto inputs = trusted();
  inputs.integratedWireGuardProfileSaved = inputs.integratedWireGuardTunnelInstalled = true;
  inputs.integratedWireGuardTunnelActive = inputs.integratedWireGuardHTTPSReachable = true;
  auto plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::ready);
  EXPECT_EQ(plan.title, "Built-In Secure Tunnel Ready");

  inputs.integratedWireGuardHTTPSReachable = false;
  inputs.localNetworkReachable = inputs.localPairingReady = true;
  plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::warning);
  EXPECT_EQ(plan.recommendedRoute, Route::localNetwork);
  EXPECT_EQ(plan.title, "Built-In Secure Tunnel Needs Start");

  // A profile that is saved but not installed is no tunnel at all.
  inputs.integratedWireGuardTunnelInstalled = false;
  EXPECT_EQ(TavolinMeshAccessPlan::evaluate(inputs).title, "Local Only Ready");
}

TEST(TavolinMeshAccessPlanRules, CoordinatorOnlyWhenDirectPreferredElseNoRoute) {
  auto inputs = trusted();
  inputs.localNetworkReachable = true;  // reachable but not paired is not local
  inputs.coordinatorReachable = true;
  auto plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.recommendedRoute, Route::coordinatorDirect);
  EXPECT_EQ(plan.title, "Coordinator Signaling Only");

  inputs.connectionPolicy = TavolinConnectionPolicy::localOnly;
  plan = TavolinMeshAccessPlan::evaluate(inputs);
  EXPECT_EQ(plan.status, Status::blocked);
  EXPECT_EQ(plan.recommendedRoute, Route::unavailable);
  EXPECT_EQ(plan.title, "No Working Route");
}

}  // namespace
}  // namespace tavolin
