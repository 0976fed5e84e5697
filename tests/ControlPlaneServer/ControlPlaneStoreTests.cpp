#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "ControlPlaneServer/ControlPlaneError.hpp"
#include "ControlPlaneServer/ControlPlaneStore.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono_literals;
using testing::ManualClock;
using testing::TemporaryDirectory;

// A store on a temporary file with an owner, a controller and an enrolled device.
struct Harness {
  TemporaryDirectory directory;
  std::filesystem::path file = directory.path() / "control-plane.sqlite3";
  ManualClock clock;
  std::unique_ptr<ControlPlaneStore> store = std::make_unique<ControlPlaneStore>(file, clock);
  BootstrapOwnerResponse owner =
      store->bootstrapOwner({.displayName = "Owner", .credentialLabel = "test"});
  CreateControllerResponse controller =
      store->createController(owner.owner.id, {.name = "Laptop", .platform = "web"});
  Principal controllerPrincipal = *store->authenticate(controller.controllerToken);
  std::string agentToken;
  std::string deviceId = enrol("Desk", agentToken);

  std::string enrol(const std::string& name, std::string& token) {
    const auto request =
        store->createEnrollmentRequest({.deviceName = name, .platform = "linux"}, "192.0.2.1");
    const auto device = store->approveEnrollment(owner.owner.id, {.code = request.code});
    token = *store->pollEnrollment(request.request.id, request.code).agentToken;
    return device.id;
  }

  void reopen() {
    store.reset();
    store = std::make_unique<ControlPlaneStore>(file, clock);
  }

  RemoteSession activeSession(JSONObject metadata = {}) {
    const auto session = store->createSession(
        controllerPrincipal,
        {.deviceId = deviceId, .transportMode = "webrtc", .metadata = metadata});
    return store->acceptSession(deviceId, session.id, {});
  }
};

// The string at `key`, or a marker when it is absent or not a string.
std::string textOf(const JSONObject& object, std::string_view key) {
  const auto* value = object.find(key);
  return value != nullptr && value->string() != nullptr ? *value->string() : "<absent>";
}

template <class Operation>
ControlPlaneError errorOf(Operation&& operation) {
  try {
    operation();
  } catch (const ControlPlaneError& error) {
    return error;
  }
  ADD_FAILURE() << "no ControlPlaneError";
  return ControlPlaneError(0, "none");
}

TEST(ControlPlaneStore, Tokens_AreStoredOnlyAsHashesAndResolveToTheirKind) {
  Harness h;
  EXPECT_EQ(ControlPlaneStore::makeToken().size(), 43u);  // 256 bits, base64url, no padding

  const auto owner = h.store->authenticate(h.owner.ownerToken);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->kind, TokenKind::owner);
  EXPECT_EQ(h.controllerPrincipal.kind, TokenKind::controller);
  EXPECT_EQ(h.controllerPrincipal.subjectId, h.controller.controller.id);
  EXPECT_EQ(h.controllerPrincipal.ownerId, h.owner.owner.id);
  const auto agent = h.store->authenticate(h.agentToken);
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->kind, TokenKind::agent);
  EXPECT_EQ(agent->subjectId, h.deviceId);
  EXPECT_EQ(agent->ownerId, h.owner.owner.id);

  EXPECT_FALSE(h.store->authenticate(""));
  EXPECT_FALSE(h.store->authenticate(h.agentToken + "x"));
  EXPECT_FALSE(h.store->authenticate(h.agentToken.substr(1)));

  // Neither the database nor its log may hold a usable token.
  const std::string bytes = readFileIfExists(h.file).value_or("") +
                            readFileIfExists(h.file.string() + "-wal").value_or("");
  for (const auto& token : {h.owner.ownerToken, h.controller.controllerToken, h.agentToken})
    EXPECT_EQ(bytes.find(token), std::string::npos);

  h.reopen();
  EXPECT_TRUE(h.store->authenticate(h.agentToken));
}

TEST(ControlPlaneStore, Enrollment_ApprovesByCodeDeliversTheTokenOnceAndExpires) {
  Harness h;
  const auto created = h.store->createEnrollmentRequest(
      {.deviceName = "Studio", .hostname = "studio.local", .platform = "linux"}, "192.0.2.1");
  EXPECT_EQ(created.request.status, "pending");
  EXPECT_EQ(created.request.expiresAt, "2026-01-31T09:25:02.000Z");
  const auto id = created.request.id;

  EXPECT_EQ(errorOf([&] { h.store->pollEnrollment(id, "00000000"); }).status(), 401);
  EXPECT_EQ(errorOf([&] { h.store->pollEnrollment("enrollment_unknown", created.code); }).status(),
            404);
  const auto waiting = h.store->pollEnrollment(id, created.code);
  EXPECT_EQ(waiting.request.status, "pending");
  EXPECT_FALSE(waiting.agentToken);
  EXPECT_EQ(errorOf([&] {
              h.store->approveEnrollment(h.owner.owner.id, {.code = "99999999x"});
            }).status(),
            404);

  // Codes are read off a screen: spaces and dashes do not matter.
  const std::string typed = created.code.substr(0, 4) + " - " + created.code.substr(4);
  const auto device =
      h.store->approveEnrollment(h.owner.owner.id, {.code = typed, .displayName = "Studio Mac"});
  EXPECT_EQ(device.name, "Studio Mac");
  EXPECT_EQ(device.hostname, "studio.local");

  const auto claim = h.store->pollEnrollment(id, created.code);
  EXPECT_EQ(claim.request.status, "approved");
  ASSERT_TRUE(claim.agentToken);
  ASSERT_TRUE(claim.request.deliveredAt);
  ASSERT_TRUE(claim.device);
  EXPECT_EQ(claim.device->id, device.id);
  EXPECT_EQ(h.store->authenticate(*claim.agentToken)->subjectId, device.id);

  h.clock.advance(1min);
  h.reopen();
  const auto again = h.store->pollEnrollment(id, created.code);
  EXPECT_FALSE(again.agentToken);
  EXPECT_EQ(again.request.deliveredAt, claim.request.deliveredAt);
  EXPECT_EQ(again.request.status, "approved");

  // A code is good for ten minutes, and not at the tenth.
  const auto late =
      h.store->createEnrollmentRequest({.deviceName = "Late", .platform = "linux"}, "192.0.2.1");
  h.clock.advance(10min - 1ms);
  EXPECT_EQ(h.store->pollEnrollment(late.request.id, late.code).request.status, "pending");
  h.clock.advance(1ms);
  EXPECT_EQ(
      errorOf([&] { h.store->approveEnrollment(h.owner.owner.id, {.code = late.code}); }).code(),
      "enrollment_expired");
  EXPECT_EQ(errorOf([&] { h.store->denyEnrollment({.code = late.code}); }).code(),
            "enrollment_expired");
  EXPECT_EQ(h.store->pollEnrollment(late.request.id, late.code).request.status, "expired");

  // A denied request tells its agent so, hands out nothing, and can no longer be approved.
  const auto refused = h.store->createEnrollmentRequest(
      {.deviceName = "Stranger", .platform = "linux"}, "192.0.2.1");
  const auto denied =
      h.store->denyEnrollment({.code = refused.code.substr(0, 4) + "-" + refused.code.substr(4)});
  EXPECT_EQ(denied.request.status, "denied");
  EXPECT_EQ(denied.code, refused.code);
  const auto deniedClaim = h.store->pollEnrollment(refused.request.id, refused.code);
  EXPECT_EQ(deniedClaim.request.status, "denied");
  EXPECT_TRUE(deniedClaim.request.deniedAt);
  EXPECT_FALSE(deniedClaim.agentToken);
  EXPECT_FALSE(deniedClaim.device);
  EXPECT_EQ(errorOf([&] {
              h.store->approveEnrollment(h.owner.owner.id, {.code = refused.code});
            }).status(),
            404);
  EXPECT_EQ(errorOf([&] { h.store->denyEnrollment({.code = refused.code}); }).status(), 404);

  // Each client holds at most ten live requests, across restarts; others are not held back.
  const EnrollmentRequestPayload payload{.deviceName = "Flood", .platform = "linux"};
  for (int i = 0; i < ControlPlaneStore::maxPendingEnrollmentsPerClient; ++i)
    h.store->createEnrollmentRequest(payload, "203.0.113.7");
  h.reopen();
  EXPECT_EQ(errorOf([&] { h.store->createEnrollmentRequest(payload, "203.0.113.7"); }).status(),
            429);
  h.store->createEnrollmentRequest(payload, "2001:db8::/64");
  h.clock.advance(ControlPlaneStore::enrollmentLifetime);
  h.store->createEnrollmentRequest(payload, "203.0.113.7");
}

TEST(ControlPlaneStore, Owner_IsBootstrappedOnce) {
  Harness h;
  EXPECT_EQ(errorOf([&] {
              h.store->bootstrapOwner({.displayName = "Other", .credentialLabel = "x"});
            }).code(),
            "owner_exists");
  const auto viaBootstrap =
      h.store->createController(std::nullopt, {.name = "CLI", .platform = "cli"});
  EXPECT_EQ(viaBootstrap.controller.ownerId, h.owner.owner.id);

  TemporaryDirectory empty;
  ControlPlaneStore fresh(empty.path() / "db.sqlite3", h.clock);
  EXPECT_FALSE(fresh.ownerExists());
  EXPECT_EQ(errorOf([&] {
              fresh.createController(std::nullopt, {.name = "CLI", .platform = "cli"});
            }).code(),
            "owner_missing");
}

TEST(ControlPlaneStore, Heartbeat_UpdatesTheDeviceKeepsASnapshotAndGoesStale) {
  Harness h;
  EXPECT_EQ(h.store->devices(h.owner.owner.id).at(0).status, "offline");
  const auto device = h.store->heartbeat(
      h.deviceId, {.hostname = "desk.lan",
                   .agentVersion = "0.1.0",
                   .capabilities = JSONObject{{"screenCapture", true}},
                   .focusedApp = AppInfo{.name = "Terminal"},
                   .runningApps = {AppInfo{.name = "Terminal"}, AppInfo{.name = "Files"}}});
  EXPECT_EQ(device.status, "online");
  EXPECT_EQ(device.hostname, "desk.lan");
  EXPECT_EQ(device.lastSeenAt, "2026-01-31T09:15:02.000Z");

  const auto detail = h.store->device(h.owner.owner.id, h.deviceId);
  ASSERT_TRUE(detail.snapshot);
  EXPECT_EQ(detail.snapshot->runningApps.size(), 2u);
  EXPECT_EQ(detail.snapshot->focusedApp->name, "Terminal");
  EXPECT_EQ(detail.device.capabilities, (JSONObject{{"screenCapture", true}}));

  h.clock.advance(ControlPlaneStore::onlineWindow - 1ms);
  EXPECT_EQ(h.store->device(h.owner.owner.id, h.deviceId).device.status, "online");
  h.clock.advance(1ms);
  EXPECT_EQ(h.store->device(h.owner.owner.id, h.deviceId).device.status, "offline");
  EXPECT_EQ(errorOf([&] { h.store->device("owner_other", h.deviceId); }).status(), 404);
}

TEST(ControlPlaneStore, Sessions_MoveThroughTheirStatesAndStayWithTheirParties) {
  Harness h;
  const JSONObject requested{{"controllerPublicKey", "key"}, {"requestedVideoTransport", "auto"}};
  const auto pending = h.store->createSession(
      h.controllerPrincipal,
      {.deviceId = h.deviceId, .transportMode = "webrtc", .metadata = requested});
  EXPECT_EQ(pending.status, "pending");
  EXPECT_EQ(h.store->agentSessions(h.deviceId, "pending").size(), 1u);

  // Another device of the owner, and another controller, see nothing of it.
  std::string otherToken;
  const auto otherDevice = h.enrol("Other", otherToken);
  const auto otherController =
      h.store->createController(h.owner.owner.id, {.name = "Phone", .platform = "ios"});
  EXPECT_EQ(errorOf([&] { h.store->acceptSession(otherDevice, pending.id, {}); }).status(), 404);
  EXPECT_EQ(errorOf([&] {
              h.store->session(SessionParty::controller(otherController.controller.id), pending.id);
            }).status(),
            404);
  EXPECT_EQ(errorOf([&] {
              h.store->createSession(h.controllerPrincipal, {.deviceId = "device_unknown"});
            }).status(),
            404);

  h.clock.advance(2s);
  const auto active = h.store->acceptSession(
      h.deviceId, pending.id,
      {{"selectedTransport", "hybrid"}, {"requestedVideoTransport", "auto"}});
  EXPECT_EQ(active.status, "active");
  EXPECT_EQ(active.acceptedAt, "2026-01-31T09:15:04.000Z");
  EXPECT_EQ(textOf(active.metadata, "controllerPublicKey"), "key");
  EXPECT_EQ(textOf(active.metadata, "selectedTransport"), "hybrid");
  EXPECT_EQ(errorOf([&] { h.store->acceptSession(h.deviceId, pending.id, {}); }).code(),
            "session_not_pending");
  EXPECT_TRUE(h.store->agentSessions(h.deviceId, "pending").empty());
  EXPECT_EQ(h.store->agentSessions(h.deviceId, "active").size(), 1u);

  const auto ended = h.store->endSession(SessionParty::agent(h.deviceId), pending.id,
                                         "superseded_by_newer_session");
  EXPECT_EQ(ended.status, "ended");
  EXPECT_EQ(textOf(ended.metadata, "endReason"), "superseded_by_newer_session");
  EXPECT_EQ(textOf(ended.metadata, "endedBy"), "agent");
  h.clock.advance(5s);
  // Ending again changes nothing, whoever asks.
  EXPECT_EQ(h.store->endSession(SessionParty::controller(h.controller.controller.id), pending.id,
                                std::nullopt),
            ended);
  EXPECT_TRUE(h.store->agentSessions(h.deviceId, "active").empty());

  // A frame captured before the end and arriving after it is answered but not kept.
  EXPECT_EQ(
      h.store->storeScreenFrame(h.deviceId, pending.id, {.format = "jpeg", .imageBase64 = "AAAA"})
          .sessionId,
      pending.id);
  EXPECT_EQ(
      errorOf([&] { h.store->latestScreenFrame(h.controller.controller.id, pending.id); }).status(),
      404);
}

TEST(ControlPlaneStore, Revocation_LocksOutTheAgentAndEndsItsSessionsOnce) {
  Harness h;
  const auto& controllerId = h.controller.controller.id;
  const auto active = h.activeSession();
  const auto queued = h.store->enqueueCommand(controllerId, active.id, {.type = "click"});
  const auto pending = h.store->createSession(h.controllerPrincipal, {.deviceId = h.deviceId});
  std::string otherToken;
  const auto otherDevice = h.enrol("Other", otherToken);
  const auto otherSession =
      h.store->createSession(h.controllerPrincipal, {.deviceId = otherDevice});

  const Principal stranger{
      .kind = TokenKind::owner, .subjectId = "owner_other", .ownerId = "owner_other"};
  EXPECT_EQ(errorOf([&] { h.store->revokeDevice(stranger, h.deviceId); }).status(), 404);
  EXPECT_EQ(
      errorOf([&] { h.store->revokeDevice(h.controllerPrincipal, "device_unknown"); }).status(),
      404);
  EXPECT_TRUE(h.store->authenticate(h.agentToken));

  const auto revoked = h.store->revokeDevice(h.controllerPrincipal, h.deviceId);
  EXPECT_EQ(revoked.device.status, "revoked");
  EXPECT_EQ(revoked.device.revokedAt, "2026-01-31T09:15:02.000Z");
  EXPECT_EQ(revoked.endedSessionIds, (std::vector<std::string>{active.id, pending.id}));
  EXPECT_FALSE(h.store->authenticate(h.agentToken));
  for (const auto& id : revoked.endedSessionIds) {
    const auto ended = h.store->session(SessionParty::controller(controllerId), id);
    EXPECT_EQ(ended.status, "ended");
    EXPECT_EQ(textOf(ended.metadata, "endReason"), "device_revoked");
    EXPECT_EQ(textOf(ended.metadata, "endedBy"), "controller");
  }
  EXPECT_EQ(h.store->controllerCommand(controllerId, queued.id).status, "cancelled");
  EXPECT_EQ(errorOf([&] {
              h.store->createSession(h.controllerPrincipal, {.deviceId = h.deviceId});
            }).status(),
            404);
  // The owner's other device carries on.
  EXPECT_TRUE(h.store->authenticate(otherToken));
  EXPECT_EQ(h.store->sessionStatus(otherSession.id), "pending");
  EXPECT_EQ(h.store->devices(h.owner.owner.id).size(), 1u);

  // Again, later and by the owner: nothing changes.
  h.clock.advance(1min);
  const Principal owner = *h.store->authenticate(h.owner.ownerToken);
  const auto again = h.store->revokeDevice(owner, h.deviceId);
  EXPECT_EQ(again.device, revoked.device);
  EXPECT_TRUE(again.endedSessionIds.empty());
}

TEST(ControlPlaneStore, Signals_AreNumberedPerSessionAndContinueAfterReopening) {
  Harness h;
  const auto first = h.activeSession();
  const auto second = h.activeSession();
  const auto agent = SessionParty::agent(h.deviceId);
  const auto controller = SessionParty::controller(h.controller.controller.id);

  EXPECT_EQ(h.store->appendSignal(controller, first.id, {.type = "offer"}).sequence, 1);
  EXPECT_EQ(h.store->appendSignal(controller, second.id, {.type = "offer"}).sequence, 1);
  const auto answer = h.store->appendSignal(agent, first.id, {.type = "answer"});
  EXPECT_EQ(answer.sequence, 2);
  EXPECT_EQ(answer.sender, "agent");
  EXPECT_EQ(answer.controllerId, h.controller.controller.id);

  h.reopen();
  EXPECT_EQ(h.store->appendSignal(controller, first.id, {.type = "ice"}).sequence, 3);

  const auto all = h.store->signalsAfter(first.id, 0, 100);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1], answer);
  const auto afterOne = h.store->signalsAfter(first.id, 1, 1);
  ASSERT_EQ(afterOne.size(), 1u);
  EXPECT_EQ(afterOne[0].sequence, 2);
  EXPECT_TRUE(h.store->signalsAfter(first.id, 3, 100).empty());

  h.store->endSession(controller, first.id, std::nullopt);
  EXPECT_EQ(errorOf([&] { h.store->appendSignal(agent, first.id, {.type = "ice"}); }).code(),
            "session_ended");
  EXPECT_EQ(h.store->sessionStatus(first.id), "ended");
  EXPECT_FALSE(h.store->sessionStatus("session_unknown"));
}

TEST(ControlPlaneStore, CommandClaims_TakeTheOldestQueuedOfActiveSessionsWithinTheLimit) {
  Harness h;
  const auto pending = h.store->createSession(h.controllerPrincipal,
                                              {.deviceId = h.deviceId, .transportMode = "webrtc"});
  const auto& controllerId = h.controller.controller.id;
  const auto early = h.store->enqueueCommand(controllerId, pending.id, {.type = "early"});
  // Nothing runs for a session the agent has not accepted.
  EXPECT_TRUE(h.store->claimCommands(h.deviceId, 100).empty());

  const auto session = h.activeSession();
  for (int i = 0; i < 105; ++i)
    h.store->enqueueCommand(controllerId, session.id, {.type = "key_" + std::to_string(i)});

  const auto one = h.store->claimCommands(h.deviceId, 0);  // clamped up to 1
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].type, "key_0");
  EXPECT_EQ(one[0].status, "claimed");
  EXPECT_TRUE(one[0].claimedAt);
  const auto hundred = h.store->claimCommands(h.deviceId, 1000);  // clamped down to 100
  ASSERT_EQ(hundred.size(), 100u);
  EXPECT_EQ(hundred.front().type, "key_1");
  EXPECT_EQ(hundred.back().type, "key_100");
  EXPECT_EQ(h.store->claimCommands(h.deviceId, 25).size(), 4u);
  EXPECT_TRUE(h.store->claimCommands(h.deviceId, 25).empty());

  // Completion takes the agent's status and result, once.
  const auto done = h.store->completeCommand(h.deviceId, one[0].id,
                                             {.status = "failed", .result = {{"reason", "busy"}}});
  EXPECT_EQ(done.status, "failed");
  EXPECT_EQ(done.result, (JSONObject{{"reason", "busy"}}));
  EXPECT_EQ(h.store->controllerCommand(controllerId, one[0].id), done);
  EXPECT_EQ(errorOf([&] {
              h.store->completeCommand(h.deviceId, one[0].id, {.status = "completed"});
            }).code(),
            "command_not_claimed");
  std::string otherToken;
  const auto otherDevice = h.enrol("Other", otherToken);
  EXPECT_EQ(errorOf([&] {
              h.store->completeCommand(otherDevice, hundred[0].id, {.status = "completed"});
            }).status(),
            404);

  // Ending the pending session cancels what it queued.
  h.store->endSession(SessionParty::controller(controllerId), pending.id, std::nullopt);
  const auto cancelled = h.store->controllerCommand(controllerId, early.id);
  EXPECT_EQ(cancelled.status, "cancelled");
  EXPECT_TRUE(cancelled.completedAt);
}

TEST(ControlPlaneStore, Idempotency_KeysDeduplicateWithinASession) {
  Harness h;
  const auto& controllerId = h.controller.controller.id;
  const auto first = h.activeSession();
  const auto second = h.activeSession();
  const auto queued =
      h.store->enqueueCommand(controllerId, first.id, {.type = "click", .idempotencyKey = "k-1"});
  const auto repeated =
      h.store->enqueueCommand(controllerId, first.id, {.type = "click", .idempotencyKey = "k-1"});
  EXPECT_EQ(repeated, queued);
  EXPECT_NE(
      h.store->enqueueCommand(controllerId, second.id, {.type = "click", .idempotencyKey = "k-1"})
          .id,
      queued.id);
  EXPECT_NE(h.store->enqueueCommand(controllerId, first.id, {.type = "click"}).id,
            h.store->enqueueCommand(controllerId, first.id, {.type = "click"}).id);
  EXPECT_EQ(h.store->claimCommands(h.deviceId, 100).size(), 4u);

  // After the session ends a repeat still names the original; a new key is refused.
  const auto late =
      h.store->enqueueCommand(controllerId, first.id, {.type = "type", .idempotencyKey = "k-2"});
  h.store->endSession(SessionParty::agent(h.deviceId), first.id, std::nullopt);
  const auto cancelled =
      h.store->enqueueCommand(controllerId, first.id, {.type = "type", .idempotencyKey = "k-2"});
  EXPECT_EQ(cancelled.id, late.id);
  EXPECT_EQ(cancelled.status, "cancelled");
  EXPECT_EQ(errorOf([&] {
              h.store->enqueueCommand(controllerId, first.id,
                                      {.type = "type", .idempotencyKey = "k-3"});
            }).code(),
            "session_ended");
}

}  // namespace
}  // namespace tavolin
