#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Records/Records.hpp"
#include "TavolinMacAgent/LocalNetwork/RecentEntries.hpp"

namespace tavolin {

// The local server's sessions, their signals and the commands they ran. Session and command ids
// come from controllers, so everything here is bounded: ending made-up ids or posting signals
// without end cannot grow it. Main actor only.
class LocalSessionTable {
 public:
  // Kept so that late readers see how a session ended or what a command answered.
  static constexpr std::size_t maxEndedSessions = 64;
  static constexpr std::chrono::seconds endedSessionLifetime = std::chrono::hours(1);
  static constexpr std::size_t maxCompletedCommands = 256;
  static constexpr std::chrono::seconds completedCommandLifetime = std::chrono::minutes(10);
  // A live session trades a handful of signals; a client posting without end loses its oldest.
  static constexpr std::size_t maxSignalsPerSession = 1024;

  const std::map<std::string, RemoteSession>& active() const { return active_; }
  bool isActive(const std::string& sessionId) const { return active_.contains(sessionId); }
  // The active session, else the ended one.
  const RemoteSession* find(const std::string& sessionId, Date now) const;
  const RemoteSession* ended(const std::string& sessionId, Date now) const {
    return ended_.find(sessionId, now);
  }

  void activate(RemoteSession session);
  // Removes the session from the active ones.
  std::optional<RemoteSession> takeActive(const std::string& sessionId);
  // Keeps an ended session; signals of sessions no longer known go.
  void keepEnded(RemoteSession session, Date now);

  // Appends the signal with the session's next sequence number and answers it. A session the
  // table does not know keeps nothing.
  TavolinSignal appendSignal(TavolinSignal signal, Date now);
  std::vector<TavolinSignal> signals(const std::string& sessionId, std::int64_t after,
                                     std::string_view excludeSender) const;

  void keepCommand(const RemoteCommand& command, Date now);
  const RemoteCommand* command(const std::string& commandId, Date now) const {
    return commands_.find(commandId, now);
  }

  std::size_t signalListCount() const { return signalsBySessionId_.size(); }
  std::size_t endedCount() const { return ended_.size(); }

 private:
  std::map<std::string, RemoteSession> active_;
  RecentEntries<RemoteSession> ended_{maxEndedSessions, endedSessionLifetime};
  RecentEntries<RemoteCommand> commands_{maxCompletedCommands, completedCommandLifetime};
  std::map<std::string, std::vector<TavolinSignal>> signalsBySessionId_;
};

}  // namespace tavolin
