#include "TavolinMacAgent/LocalNetwork/LocalSessionTable.hpp"

namespace tavolin {

const RemoteSession* LocalSessionTable::find(const std::string& sessionId, Date now) const {
  if (const auto found = active_.find(sessionId); found != active_.end())
    return &found->second;
  return ended_.find(sessionId, now);
}

void LocalSessionTable::activate(RemoteSession session) {
  signalsBySessionId_[session.id];
  const std::string id = session.id;
  active_.insert_or_assign(id, std::move(session));
}

std::optional<RemoteSession> LocalSessionTable::takeActive(const std::string& sessionId) {
  const auto found = active_.find(sessionId);
  if (found == active_.end())
    return std::nullopt;
  RemoteSession session = std::move(found->second);
  active_.erase(found);
  return session;
}

void LocalSessionTable::keepEnded(RemoteSession session, Date now) {
  const std::string id = session.id;
  ended_.insert(id, std::move(session), now);
  std::erase_if(signalsBySessionId_,
                [&](const auto& entry) { return find(entry.first, now) == nullptr; });
}

TavolinSignal LocalSessionTable::appendSignal(TavolinSignal signal, Date now) {
  if (!find(signal.sessionId, now)) {
    signal.sequence = 1;
    return signal;
  }
  auto& list = signalsBySessionId_[signal.sessionId];
  signal.sequence = list.empty() ? 1 : list.back().sequence + 1;
  list.push_back(signal);
  if (list.size() > maxSignalsPerSession)
    list.erase(list.begin());
  return signal;
}

std::vector<TavolinSignal> LocalSessionTable::signals(const std::string& sessionId,
                                                      std::int64_t after,
                                                      std::string_view excludeSender) const {
  std::vector<TavolinSignal> newer;
  const auto found = signalsBySessionId_.find(sessionId);
  if (found == signalsBySessionId_.end())
    return newer;
  for (const auto& signal : found->second) {
    if (signal.sequence > after && signal.sender != excludeSender)
      newer.push_back(signal);
  }
  return newer;
}

void LocalSessionTable::keepCommand(const RemoteCommand& command, Date now) {
  commands_.insert(command.id, command, now);
}

}  // namespace tavolin
