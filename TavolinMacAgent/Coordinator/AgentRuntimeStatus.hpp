#pragma once

#include <optional>
#include <string>
#include <variant>

#include "TavolinCore/Foundation/TavolinISO8601.hpp"

namespace tavolin {

// Where the agent stands with the hosted control plane.
struct AgentConnectionState {
  // No agent token yet: the user enters `code` in a controller before `expiresAt`.
  struct Pairing {
    std::string code;
    std::string expiresAt;
    bool operator==(const Pairing&) const = default;
  };
  struct Online {
    std::string deviceName;
    bool operator==(const Online&) const = default;
  };
  struct Degraded {
    std::string message;
    bool operator==(const Degraded&) const = default;
  };
  struct Starting {
    bool operator==(const Starting&) const = default;
  };
  struct Stopped {
    bool operator==(const Stopped&) const = default;
  };

  std::variant<Pairing, Online, Degraded, Starting, Stopped> value = Starting{};

  bool operator==(const AgentConnectionState&) const = default;

  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&value);
  }
};

struct AgentRuntimeStatus {
  AgentConnectionState connection{};
  std::optional<std::string> lastError{};
  std::optional<Date> lastHeartbeatAt{};
  // From the last poll.
  int activeSessions = 0;
  int activeWebRTCSessions = 0;
  int activeNativeVideoToolboxSessions = 0;
  int pendingCommands = 0;
  int uploadedScreenFrames = 0;
  std::optional<Date> lastScreenFrameUploadedAt{};

  bool operator==(const AgentRuntimeStatus&) const = default;

  static AgentRuntimeStatus starting() { return {}; }
};

}  // namespace tavolin
