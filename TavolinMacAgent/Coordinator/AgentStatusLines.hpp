#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Runtime/SerialQueue.hpp"
#include "TavolinMacAgent/Coordinator/AgentRuntimeStatus.hpp"

namespace tavolin {

// The coordinator's state where a user without the status menu sees it: one line on the
// diagnostics stream per change of connection (not per poll), and the pairing code written to
// TAVOLIN_PAIRING_CODE_FILE whenever one is shown, for scripts that pair the computer.
class AgentStatusLines {
 public:
  // `diagnostics` must outlive this object. Main actor only.
  AgentStatusLines(std::ostream& diagnostics, const Environment& environment);

  void render(const AgentRuntimeStatus& status);

  // The line for a connection state, without its newline; control characters in a message
  // become spaces so that one state is one line.
  static std::string line(const AgentConnectionState& connection);

 private:
  std::ostream& diagnostics_;
  std::optional<AgentConnectionState> shown_;
  std::optional<std::filesystem::path> pairingCodeFile_;
  // Disk writes stay off the main thread; only made when the file is asked for.
  std::unique_ptr<SerialQueue> fileQueue_;
};

}  // namespace tavolin
