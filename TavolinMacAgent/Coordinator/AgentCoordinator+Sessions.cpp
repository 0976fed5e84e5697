// The session half of the coordinator: what a session is accepted with, which one survives when
// several are active, and the publishers that keep step with them.
#include <algorithm>
#include <set>

#include "TavolinMacAgent/Coordinator/AgentCoordinator.hpp"

namespace tavolin {

TavolinVideoTransportMode AgentCoordinator::effectiveVideoTransport(
    const RemoteSession& session) const {
  return TavolinVideoTransportModes::effective(
      TavolinVideoTransportModes::requested(session.metadata),
      dependencies_.publishers.nativeVideoAvailable());
}

JSONObject AgentCoordinator::acceptanceMetadata(const RemoteSession& session) const {
  const SessionPublisherFactory& publishers = dependencies_.publishers;
  const bool native = publishers.nativeVideoAvailable();
  return JSONObject{
      {"selectedTransport", "hybrid"},
      {"requestedVideoTransport", TavolinVideoTransportModes::rawValue(
                                      TavolinVideoTransportModes::requested(session.metadata))},
      {"videoTransport", TavolinVideoTransportModes::rawValue(effectiveVideoTransport(session))},
      {"videoTransportFallback", "webrtc"},
      {"nativeVideoToolboxAvailable", native},
      {"nativeVideoCodecs",
       JSONValue::strings(native ? publishers.nativeVideoCodecs : std::vector<std::string>{})},
      {"screenFrameIntervalSeconds", 1},
      {"agentVersion", MacSnapshotProvider::agentVersion},
  };
}

Awaitable<std::vector<RemoteSession>> AgentCoordinator::pruneSupersededSessions(
    const std::string& agentToken, std::vector<RemoteSession> active) {
  if (active.size() < 2)
    co_return active;
  // Timestamps of one format compare in time order as text; ties keep the control plane's order.
  const auto key = [](const RemoteSession& session) -> const std::string& {
    return session.acceptedAt ? *session.acceptedAt : session.createdAt;
  };
  std::stable_sort(active.begin(), active.end(),
                   [&](const RemoteSession& a, const RemoteSession& b) { return key(a) > key(b); });
  const std::optional<std::string> reason = "superseded_by_newer_session";
  for (std::size_t index = 1; index < active.size(); ++index) {
    try {
      co_await dependencies_.api.endSession(agentToken, active[index].id, reason);
    } catch (const std::exception& error) {
      // Still listed as active next pass, so ended again then.
      if (isCancellation(error))
        throw;
    }
  }
  active.resize(1);
  co_return active;
}

void AgentCoordinator::reconcile(PublisherMap& publishers, TavolinVideoTransportMode transport,
                                 const std::string& agentToken,
                                 const std::vector<RemoteSession>& sessions) {
  std::set<std::string> live;
  for (const RemoteSession& session : sessions)
    live.insert(session.id);

  PublisherMap gone;
  for (auto entry = publishers.begin(); entry != publishers.end();) {
    if (live.contains(entry->first)) {
      ++entry;
    } else {
      gone.insert(publishers.extract(entry++));
    }
  }
  requestStop(gone);

  for (const RemoteSession& session : sessions) {
    if (publishers.contains(session.id))
      continue;
    const SessionPublisherRequest request{dependencies_.api.baseURL(), agentToken, session};
    auto publisher = dependencies_.publishers.make(transport, request);
    if (!publisher)
      continue;
    publishers[session.id] = publisher;
    publisher->start();
  }
}

void AgentCoordinator::requestStop(PublisherMap& publishers) {
  PublisherMap stopping;
  stopping.swap(publishers);
  // Each stop runs on its own, holding its publisher until done; the pass does not wait.
  for (auto& [sessionId, publisher] : stopping) {
    Task::spawn(dependencies_.mainExecutor, "publisher stop",
                [publisher]() -> Awaitable<void> { co_await publisher->stop(); });
  }
}

void AgentCoordinator::endInBackground(std::string agentToken, std::vector<std::string> sessionIds,
                                       std::string reason) {
  Task::spawn(dependencies_.mainExecutor, "end sessions",
              [api = dependencies_.api, agentToken = std::move(agentToken),
               sessionIds = std::move(sessionIds),
               reason = std::optional<std::string>(std::move(reason))]() -> Awaitable<void> {
                for (const std::string& sessionId : sessionIds) {
                  try {
                    co_await api.endSession(agentToken, sessionId, reason);
                  } catch (const std::exception&) {
                  }
                }
              });
}

}  // namespace tavolin
