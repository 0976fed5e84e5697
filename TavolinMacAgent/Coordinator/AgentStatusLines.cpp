#include "TavolinMacAgent/Coordinator/AgentStatusLines.hpp"

#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Runtime/Diagnostics.hpp"

namespace tavolin {
AgentStatusLines::AgentStatusLines(std::ostream& diagnostics, const Environment& environment)
    : diagnostics_(diagnostics) {
  if (const auto file = environmentValue(environment, "TAVOLIN_PAIRING_CODE_FILE");
      file && !file->empty()) {
    pairingCodeFile_ = std::filesystem::path(*file);
    fileQueue_ = std::make_unique<SerialQueue>("app.tavolin.agent.pairing-code-file");
  }
}

std::string AgentStatusLines::line(const AgentConnectionState& connection) {
  using State = AgentConnectionState;
  if (const auto* pairing = connection.as<State::Pairing>())
    return "TAVOLIN_AGENT_PAIRING code=" + singleLine(pairing->code) +
           " expiresAt=" + singleLine(pairing->expiresAt);
  if (const auto* online = connection.as<State::Online>())
    return "TAVOLIN_AGENT_ONLINE device=" + singleLine(online->deviceName);
  if (const auto* degraded = connection.as<State::Degraded>())
    return "TAVOLIN_AGENT_DEGRADED message=" + singleLine(degraded->message);
  if (connection.as<State::Stopped>())
    return "TAVOLIN_AGENT_STOPPED";
  return "TAVOLIN_AGENT_STARTING";
}

void AgentStatusLines::render(const AgentRuntimeStatus& status) {
  if (shown_ == status.connection)
    return;
  shown_ = status.connection;
  // Starting is where every run begins; the lines say where it went from there.
  if (status.connection.as<AgentConnectionState::Starting>())
    return;
  writeDiagnosticLine(diagnostics_, line(status.connection));

  const auto* pairing = status.connection.as<AgentConnectionState::Pairing>();
  if (!pairing || !pairingCodeFile_)
    return;
  fileQueue_->post([&diagnostics = diagnostics_, file = *pairingCodeFile_, code = pairing->code] {
    try {
      writeFileAtomically(file, code + "\n");
    } catch (const std::exception& error) {
      writeDiagnosticLine(diagnostics,
                          "TAVOLIN_AGENT_PAIRING_CODE_FILE_FAILED " + singleLine(error.what()));
    }
  });
}

}  // namespace tavolin
