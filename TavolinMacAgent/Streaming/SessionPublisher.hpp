#pragma once

#include <functional>
#include <memory>
#include <string>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Executor.hpp"

namespace tavolin {

// A live stream for one session (WebRTC or native video). Lives from the session's acceptance
// until it ends or is superseded. Main actor only.
class SessionPublisher {
 public:
  virtual ~SessionPublisher() = default;
  virtual void start() = 0;
  // Ends the stream and releases its capture, encoder and peer connection; idempotent.
  virtual Awaitable<void> stop() = 0;
};

// What a publisher needs to reach its control plane: the agent routes of the local server at
// `apiBaseURL`, authenticated with `agentToken`.
struct SessionPublisherRequest {
  std::string apiBaseURL;
  std::string agentToken;
  RemoteSession session;
};

// Makes the publisher of a streaming session, or nothing when this build streams no video for
// the requested transport (the controller then falls back to still frames).
using SessionPublisherFactory =
    std::function<std::shared_ptr<SessionPublisher>(const SessionPublisherRequest& request)>;

}  // namespace tavolin
