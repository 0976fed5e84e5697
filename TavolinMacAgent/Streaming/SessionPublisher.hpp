#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TavolinCore/Records/Records.hpp"
#include "TavolinCore/Runtime/Executor.hpp"
#include "TavolinCore/Streaming/TavolinVideoTransportMode.hpp"

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

// What a publisher needs to reach its control plane: the agent routes at `apiBaseURL` (the
// hosted control plane, or the local server), authenticated with `agentToken`.
struct SessionPublisherRequest {
  std::string apiBaseURL;
  std::string agentToken;
  RemoteSession session;
};

// Makes the publishers of streaming sessions, one kind per video transport this build serves.
// Main actor only.
struct SessionPublisherFactory {
  using Make = std::function<std::shared_ptr<SessionPublisher>(const SessionPublisherRequest&)>;

  // The media-track path; empty when this build streams no live video (controllers then fall
  // back to still frames).
  Make webRTC{};
  // The native video path, with the codecs it can encode here; empty until this build has it.
  Make nativeVideo{};
  std::vector<std::string> nativeVideoCodecs{};

  // What sessions and capabilities may advertise: never a path nothing here can serve.
  bool nativeVideoAvailable() const { return nativeVideo && !nativeVideoCodecs.empty(); }

  // The publisher of `transport` (an effective transport, never `automatic`), or nothing when
  // this build has none for it.
  std::shared_ptr<SessionPublisher> make(TavolinVideoTransportMode transport,
                                         const SessionPublisherRequest& request) const {
    const Make& maker =
        transport == TavolinVideoTransportMode::nativeVideoToolbox ? nativeVideo : webRTC;
    return maker ? maker(request) : nullptr;
  }
};

}  // namespace tavolin
